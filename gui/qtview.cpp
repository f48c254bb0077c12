#include "gui/qtview.h"

#include "coll/coll.h"
#include "gui/designpicture.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QMimeData>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QUrl>
#include <QColorDialog>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>

namespace vm::gui {

using dia::Dialog;
using dia::ItemDef;
using dia::ItemKind;

namespace {

QString qs(const std::string& text)
{
    return QString::fromStdString(text);
}

// The rows of a table item as field lists; titles separately.
struct TableText {
    QStringList titles;
    std::vector<QStringList> rows;
    int selection = -1;
};

TableText readTable(CollHandle coll, const std::string& tag)
{
    TableText out;
    TableHandle table = collGetTable(coll, tag.c_str());
    if (!table)
        return out;
    int columns = tableColCount(table);
    auto fields = [&](int row) {
        QStringList list;
        for (int c = 0; c < columns; ++c) {
            int length = tableGetField(table, row, c, nullptr, 0);
            std::string text(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
            tableGetField(table, row, c, text.data(), text.size());
            list << QString::fromStdString(text.c_str());
        }
        return list;
    };
    out.titles = fields(vm::coll::kRowTitles);
    for (int r = 0; r < tableRowCount(table); ++r)
        out.rows.push_back(fields(r));
    out.selection = tableGetSelection(table);
    tableDestroy(table);
    return out;
}

// Colour items hold a Windows colour number: red in the low byte, then green, then blue.
QColor colourOf(const std::string& value)
{
    if (value.empty())
        return Qt::white;  // no colour yet
    long long number = std::atoll(value.c_str());
    return QColor(static_cast<int>(number & 0xFF), static_cast<int>((number >> 8) & 0xFF),
                  static_cast<int>((number >> 16) & 0xFF));
}

std::string valueOf(const QColor& colour)
{
    return std::to_string(colour.red() | colour.green() << 8 | colour.blue() << 16);
}

void paintSwatch(QPushButton* swatch, const QColor& colour)
{
    QPixmap filled(swatch->iconSize());
    filled.fill(colour);
    swatch->setIcon(QIcon(filled));
    swatch->setText(colour.name().toUpper());
}

}  // namespace

// A list that takes files dropped on it when its item accepts drops.
class DropList final : public QTableWidget {
public:
    DropList(Dialog& dialog, int index) : dialog_(dialog), index_(index)
    {
        setAcceptDrops(true);
        viewport()->setAcceptDrops(true);
        setDragDropMode(QAbstractItemView::DropOnly);
    }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override
    {
        if (takes(event->mimeData()))
            event->acceptProposedAction();
        else
            event->ignore();
    }
    void dragMoveEvent(QDragMoveEvent* event) override
    {
        if (takes(event->mimeData()))
            event->acceptProposedAction();
        else
            event->ignore();
    }
    void dropEvent(QDropEvent* event) override
    {
        if (!takes(event->mimeData())) {
            event->ignore();
            return;
        }
        std::vector<std::string> paths;
        for (const QUrl& url : event->mimeData()->urls())
            if (url.isLocalFile())
                paths.push_back(url.toLocalFile().toStdString());
        event->acceptProposedAction();
        dialog_.drop(index_, paths);
    }

private:
    bool takes(const QMimeData* data) const
    {
        return data && data->hasUrls() && dialog_.acceptsDrops(index_) && !dialog_.greyed(index_);
    }

    Dialog& dialog_;
    int index_;
};

// One dialog's window: builds its widgets from the definition and keeps them in step
// with the items.
class DialogWindow final : public QDialog {
public:
    DialogWindow(Dialog& dialog, QWidget* parent) : QDialog(parent), dialog_(dialog)
    {
        setWindowTitle(qs(dialog.title()));
        setModal(true);
        setMinimumWidth(320);
        build();
        for (int i = 0; i < dialog.itemCount(); ++i)
            showItem(i);
        applyStates();
    }

    void showItem(int index)
    {
        QWidget* widget = widgets_[static_cast<std::size_t>(index)];
        if (!widget)
            return;
        const ItemDef& item = dialog_.item(index);
        std::string value = dialog_.valueText(index);
        QSignalBlocker blocker(widget);  // a value pushed in is no change of the user's
        switch (item.kind) {
        case ItemKind::Edit:
            if (auto* edit = qobject_cast<QLineEdit*>(widget); edit && edit->text() != qs(value))
                edit->setText(qs(value));
            break;
        case ItemKind::Check:
            static_cast<QCheckBox*>(widget)->setChecked(std::atoll(value.c_str()) != 0);
            break;
        case ItemKind::Radio:
            static_cast<QRadioButton*>(widget)->setChecked(value == item.value);
            break;
        case ItemKind::Combo: {
            auto* combo = static_cast<QComboBox*>(widget);
            if (!item.choices.empty()) {
                combo->clear();
                for (const QStringList& row : readTable(dialog_.dialogCollection(), item.choices).rows)
                    combo->addItem(row.value(0));
            }
            int found = combo->findText(qs(value));
            if (found >= 0)
                combo->setCurrentIndex(found);
            else if (combo->isEditable())
                combo->setEditText(qs(value));
            break;
        }
        case ItemKind::List:
            fillList(static_cast<QTableWidget*>(widget), item);
            break;
        case ItemKind::Progress: {
            auto* bar = static_cast<QProgressBar*>(widget);
            // A bar whose argument names an item counts up to that item's value, else to 100.
            if (!item.arg.empty()) {
                long long range = collGetNumeric(dialog_.dialogCollection(), item.arg.c_str());
                bar->setMaximum(range > 0 ? static_cast<int>(std::min<long long>(range, INT_MAX)) : 100);
            }
            bar->setValue(std::atoi(value.c_str()));
            break;
        }
        case ItemKind::Colour:
            paintSwatch(static_cast<QPushButton*>(widget), colourOf(value));
            break;
        case ItemKind::Bitmap:
            static_cast<DesignPicture*>(widget)->setDesign(qs(value));
            break;
        case ItemKind::Static:
        case ItemKind::Status:
            if (!item.tag.empty())
                static_cast<QLabel*>(widget)->setText(qs(value));
            // Long work on this thread (a port search) tells its progress here: paint now.
            if (item.kind == ItemKind::Status)
                widget->repaint();
            break;
        default:
            break;
        }
    }

    void applyStates()
    {
        for (int i = 0; i < dialog_.itemCount(); ++i)
            if (QWidget* widget = widgets_[static_cast<std::size_t>(i)])
                widget->setEnabled(!dialog_.greyed(i));
    }

    void reject() override
    {
        // Escape and the window's close button: the dialog decides (a job may refuse).
        dialog_.closeByUser();
    }

private:
    void build()
    {
        auto* outer = new QVBoxLayout(this);
        QFormLayout* form = nullptr;
        QHBoxLayout* actions = nullptr;
        auto* buttons = new QDialogButtonBox;
        QLabel* status = nullptr;
        QWidget* container = this;
        QVBoxLayout* groupLayout = outer;
        QGridLayout* pictures = nullptr;
        int pictureCount = 0;
        const int pictureColumns = dialog_.definition().pictureColumns;
        widgets_.assign(static_cast<std::size_t>(dialog_.itemCount()), nullptr);

        for (int i = 0; i < dialog_.itemCount(); ++i) {
            const ItemDef& item = dialog_.item(i);
            if (!item.group.empty()) {
                auto* box = new QGroupBox(qs(item.group));
                groupLayout = new QVBoxLayout(box);
                outer->addWidget(box);
                container = box;
                form = nullptr;
                actions = nullptr;  // a group's buttons stay in their group
            }
            auto formRow = [&](const QString& label, QWidget* widget) {
                if (!form) {
                    form = new QFormLayout;
                    groupLayout->addLayout(form);
                }
                if (label.isEmpty())
                    form->addRow(widget);
                else
                    form->addRow(label + ":", widget);
            };
            QWidget* widget = nullptr;
            QString text = qs(dialog_.substitute(item.text));
            switch (item.kind) {
            case ItemKind::Button: {
                auto* button = new QPushButton(text.isEmpty() ? qs(item.tag) : text);
                button->setDefault(item.isDefault);
                button->setAutoDefault(item.isDefault);
                connect(button, &QPushButton::clicked, this, [this, i] { dialog_.activate(i); });
                if (item.close != 0) {
                    buttons->addButton(button, QDialogButtonBox::ActionRole);
                } else {
                    if (!actions) {
                        actions = new QHBoxLayout;
                        groupLayout->addLayout(actions);
                    }
                    actions->addWidget(button);
                }
                widget = button;
                break;
            }
            case ItemKind::Edit: {
                auto* edit = new QLineEdit;
                connect(edit, &QLineEdit::textEdited, this,
                        [this, i](const QString& value) { dialog_.changeValue(i, value.toStdString()); });
                formRow(text, edit);
                widget = edit;
                break;
            }
            case ItemKind::Check: {
                auto* check = new QCheckBox(text);
                connect(check, &QCheckBox::toggled, this,
                        [this, i](bool on) { dialog_.changeValue(i, on ? "1" : "0"); });
                formRow({}, check);
                widget = check;
                break;
            }
            case ItemKind::Radio: {
                auto* radio = new QRadioButton(text);
                connect(radio, &QRadioButton::toggled, this, [this, i](bool on) {
                    if (on)
                        dialog_.changeValue(i, dialog_.item(i).value);
                });
                formRow({}, radio);
                widget = radio;
                break;
            }
            case ItemKind::Combo: {
                auto* combo = new QComboBox;
                for (const auto& option : item.options)
                    combo->addItem(qs(option));
                combo->setEditable(!item.choices.empty());  // a port or a folder may be typed
                connect(combo, &QComboBox::currentTextChanged, this,
                        [this, i](const QString& value) { dialog_.changeValue(i, value.toStdString()); });
                formRow(text, combo);
                widget = combo;
                break;
            }
            case ItemKind::List: {
                auto* table = new DropList(dialog_, i);
                table->setSelectionBehavior(QAbstractItemView::SelectRows);
                table->setSelectionMode(QAbstractItemView::SingleSelection);
                table->setEditTriggers(QAbstractItemView::NoEditTriggers);
                table->verticalHeader()->hide();
                table->horizontalHeader()->setStretchLastSection(true);
                connect(table, &QTableWidget::currentCellChanged, this,
                        [this, i](int row) { dialog_.select(i, row); });
                groupLayout->addWidget(table);
                form = nullptr;
                actions = nullptr;  // buttons after a list sit under it
                widget = table;
                break;
            }
            case ItemKind::Progress:
                widget = new QProgressBar;
                formRow(text, widget);
                break;
            case ItemKind::Status:
                status = new QLabel;
                widget = status;
                break;
            case ItemKind::Bitmap: {
                auto* picture = new DesignPicture;
                picture->setObjectName(qs(item.tag));
                if (pictureColumns > 0) {
                    // A page of pictures: a grid, row by row.
                    if (!pictures) {
                        pictures = new QGridLayout;
                        groupLayout->addLayout(pictures);
                        form = nullptr;
                    }
                    picture->setMinimumSize(96, 76);
                    pictures->addWidget(picture, pictureCount / pictureColumns, pictureCount % pictureColumns);
                    ++pictureCount;
                } else {
                    formRow(text, picture);
                }
                widget = picture;
                break;
            }
            case ItemKind::Static: {
                // A static with a tag shows its item's value, captioned by its text.
                bool bound = !item.tag.empty();
                auto* label = new QLabel(bound ? QString() : text);
                label->setWordWrap(true);
                formRow(bound ? text : QString(), label);
                widget = label;
                break;
            }
            case ItemKind::Colour: {
                // A swatch of the colour; pressing it lets the user choose another.
                auto* swatch = new QPushButton;
                swatch->setIconSize(QSize(32, 16));
                swatch->setAutoDefault(false);
                connect(swatch, &QPushButton::clicked, this, [this, i] { chooseColour(i); });
                formRow(text, swatch);
                widget = swatch;
                break;
            }
            case ItemKind::Hidden:
                break;
            }
            widgets_[static_cast<std::size_t>(i)] = widget;
        }
        (void)container;
        if (status)
            outer->addWidget(status);
        outer->addWidget(buttons);
        // A preselected button becomes the default one (a dialog has one default button) and
        // takes the focus.
        if (int chosen = dialog_.preselected(); chosen >= 0) {
            if (auto* button = qobject_cast<QPushButton*>(widgets_[static_cast<std::size_t>(chosen)])) {
                button->setAutoDefault(true);
                button->setDefault(true);
                button->setFocus();
            }
        }
    }

    void chooseColour(int index)
    {
        QColorDialog chooser(colourOf(dialog_.valueText(index)), this);
        chooser.setWindowTitle(qs(dialog_.substitute(dialog_.item(index).text)));
        if (chooser.exec() != QDialog::Accepted)
            return;
        dialog_.changeValue(index, valueOf(chooser.selectedColor()));
        // The view's own change is not told back to it: show what the item now holds.
        paintSwatch(static_cast<QPushButton*>(widgets_[static_cast<std::size_t>(index)]),
                    colourOf(dialog_.valueText(index)));
    }

    void fillList(QTableWidget* table, const ItemDef& item)
    {
        TableText text = readTable(dialog_.dialogCollection(), item.tag);
        int columns = std::max<int>(1, static_cast<int>(text.titles.size()));
        table->setColumnCount(columns);
        bool titled = std::any_of(text.titles.begin(), text.titles.end(), [](const QString& t) { return !t.isEmpty(); });
        table->setHorizontalHeaderLabels(text.titles);
        table->horizontalHeader()->setVisible(titled);
        table->setRowCount(static_cast<int>(text.rows.size()));
        for (int r = 0; r < static_cast<int>(text.rows.size()); ++r)
            for (int c = 0; c < columns; ++c)
                table->setItem(r, c, new QTableWidgetItem(text.rows[static_cast<std::size_t>(r)].value(c)));
        if (text.selection >= 0)
            table->selectRow(text.selection);
    }

    Dialog& dialog_;
    std::vector<QWidget*> widgets_;
};

QtView::QtView()
{
    // Posts from other threads wake the GUI thread's queue; timers are looked at often.
    platform::setQueueWakeHook([this] {
        QMetaObject::invokeMethod(this, [this] { pumpPlatformQueue(); }, Qt::QueuedConnection);
    });
    timerPump_ = new QTimer(this);
    timerPump_->setInterval(20);
    connect(timerPump_, &QTimer::timeout, this, [this] { pumpPlatformQueue(); });
    timerPump_->start();
}

QtView::~QtView()
{
    platform::setQueueWakeHook(nullptr);
}

void QtView::pumpPlatformQueue()
{
    platform::Message message;
    while (platform::peekMessage(message, 0))
        platform::dispatchMessage(message);
}

QWidget* QtView::topWindow() const
{
    QWidget* top = QApplication::activeModalWidget();
    return top ? top : QApplication::activeWindow();
}

QDialog* QtView::windowOf(const Dialog& dialog) const
{
    auto it = windows_.find(&dialog);
    return it == windows_.end() ? nullptr : it->second;
}

void QtView::opened(Dialog& dialog)
{
    auto* window = new DialogWindow(dialog, topWindow());
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    windows_[&dialog] = window;
}

void QtView::closed(Dialog& dialog)
{
    auto it = windows_.find(&dialog);
    if (it == windows_.end())
        return;
    it->second->hide();
    delete it->second;
    windows_.erase(it);
}

void QtView::itemChanged(Dialog& dialog, int index)
{
    if (auto it = windows_.find(&dialog); it != windows_.end())
        it->second->showItem(index);
}

void QtView::statesChanged(Dialog& dialog)
{
    if (auto it = windows_.find(&dialog); it != windows_.end())
        it->second->applyStates();
}

void QtView::runModal(Dialog& dialog)
{
    DialogWindow* window = windows_.at(&dialog);
    window->show();
    window->raise();
    window->activateWindow();
    QEventLoop loop;
    QTimer check;
    check.setInterval(10);
    connect(&check, &QTimer::timeout, &loop, [&] {
        if (dialog.isClosed())
            loop.quit();
    });
    check.start();
    loop.exec();
}

int QtView::message(platform::WindowHandle, unsigned style, const std::string& title, const std::string& text)
{
    QMessageBox box(topWindow());
    box.setWindowTitle(qs(title.empty() ? std::string("Velmora II") : title));
    box.setText(qs(text));
    switch (style & 0xF0) {
    case MB_ICONSTOP: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONEXCLAMATION: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
    default: break;
    }
    bool second = (style & MB_DEFBUTTON2) != 0;
    switch (style & 0x0F) {
    case MB_OKCANCEL:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(second ? QMessageBox::Cancel : QMessageBox::Ok);
        break;
    case MB_YESNO:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(second ? QMessageBox::No : QMessageBox::Yes);
        break;
    default:
        box.setStandardButtons(QMessageBox::Ok);
    }
    switch (box.exec()) {
    case QMessageBox::Cancel: return IDCANCEL;
    case QMessageBox::Yes: return IDYES;
    case QMessageBox::No: return IDNO;
    default: return IDOK;
    }
}

int QtView::choice(platform::WindowHandle, const std::string& title, const std::string& prompt,
                   const std::vector<std::string>& choices)
{
    QStringList items;
    for (const auto& choice : choices)
        items << qs(choice);
    bool ok = false;
    QString chosen = QInputDialog::getItem(topWindow(), qs(title), qs(prompt), items, 0, false, &ok);
    return ok ? static_cast<int>(items.indexOf(chosen)) : -1;
}

namespace {

// "Description (*.pes;*.pec)" as Qt's file dialogs write it: "Description (*.pes *.pec)".
QString nameFilter(const std::pair<std::string, std::string>& filter)
{
    QString display = qs(filter.first);
    QString bracketed = "(" + qs(filter.second) + ")";
    if (display.endsWith(bracketed))
        display.chop(bracketed.size());
    QString patterns = qs(filter.second);
    patterns.replace(';', ' ');
    return display.trimmed() + " (" + patterns + ")";
}

}  // namespace

std::optional<dia::FileDialogAnswer> QtView::fileDialog(platform::WindowHandle, const dia::FileDialogRequest& request)
{
    QFileDialog chooser(topWindow(), qs(request.title), qs(request.folder));
    chooser.setObjectName("VelmoraFileDialog");
    chooser.setOption(QFileDialog::DontUseNativeDialog, true);  // the preview pane needs our widgets
    if (request.save) {
        chooser.setAcceptMode(QFileDialog::AcceptSave);
        chooser.setFileMode(QFileDialog::AnyFile);
        chooser.setOption(QFileDialog::DontConfirmOverwrite, true);
        chooser.selectFile(qs(request.name));
    } else {
        chooser.setFileMode(request.multiple ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    }
    QStringList filters;
    for (const auto& filter : request.filters)
        filters << nameFilter(filter);
    chooser.setNameFilters(filters);
    if (request.filterIndex >= 0 && request.filterIndex < filters.size())
        chooser.selectNameFilter(filters[request.filterIndex]);

    // The preview pane: the selected design drawn by the program, while the box is ticked.
    auto* pane = new QWidget;
    auto* paneLayout = new QVBoxLayout(pane);
    auto* tick = new QCheckBox(tr("Preview"));
    tick->setChecked(request.previewTicked);
    auto* picture = new QLabel;
    picture->setObjectName("Preview");
    picture->setMinimumSize(180, 140);
    picture->setAlignment(Qt::AlignCenter);
    paneLayout->addWidget(tick);
    paneLayout->addWidget(picture, 1);
    if (auto* grid = qobject_cast<QGridLayout*>(chooser.layout()))
        grid->addWidget(pane, 0, grid->columnCount(), grid->rowCount(), 1);
    auto showPreview = [&](const QString& path) {
        picture->clear();
        if (!tick->isChecked() || !request.preview || path.isEmpty() || QFileInfo(path).isDir())
            return;
        std::string drawn = request.preview(path.toStdString());
        QPixmap pixmap(qs(drawn));
        if (!pixmap.isNull())
            picture->setPixmap(pixmap.scaled(picture->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
    };
    connect(&chooser, &QFileDialog::currentChanged, &chooser, showPreview);

    if (chooser.exec() != QDialog::Accepted)
        return std::nullopt;
    dia::FileDialogAnswer answer;
    QStringList chosen = chooser.selectedFiles();
    answer.folder = chosen.isEmpty() ? chooser.directory().absolutePath().toStdString()
                                     : QFileInfo(chosen.front()).absolutePath().toStdString();
    for (const QString& path : chosen)
        answer.names.push_back(QFileInfo(path).fileName().toStdString());
    answer.filterIndex = static_cast<int>(filters.indexOf(chooser.selectedNameFilter()));
    answer.previewTicked = tick->isChecked();
    return answer;
}

std::optional<std::uint32_t> QtView::chooseColour(platform::WindowHandle, const std::string& title, std::uint32_t initial)
{
    QColorDialog chooser(colourOf(std::to_string(initial)), topWindow());
    chooser.setWindowTitle(qs(title));
    if (chooser.exec() != QDialog::Accepted)
        return std::nullopt;
    return static_cast<std::uint32_t>(std::stoul(valueOf(chooser.selectedColor())));
}

std::optional<std::string> QtView::chooseFolder(platform::WindowHandle, const std::string& title, const std::string& start)
{
    QString folder = QFileDialog::getExistingDirectory(topWindow(), qs(title), qs(start));
    if (folder.isEmpty())
        return std::nullopt;
    return folder.toStdString();
}

void QtView::print(Dialog& dialog)
{
    QDialog* window = windowOf(dialog);
    if (!window)
        return;
    QPrinter printer;
    QPrintDialog ask(&printer, window);
    if (ask.exec() != QDialog::Accepted)
        return;
    QPixmap shot = window->grab();
    QPainter painter(&printer);
    QRect page = painter.viewport();
    QSize size = shot.size();
    size.scale(page.size(), Qt::KeepAspectRatio);
    painter.setViewport(page.x(), page.y(), size.width(), size.height());
    painter.setWindow(shot.rect());
    painter.drawPixmap(0, 0, shot);
}

void QtView::beep()
{
    QApplication::beep();
}

void QtView::raise(Dialog& dialog)
{
    if (QDialog* window = windowOf(dialog)) {
        window->showNormal();
        window->raise();
        window->activateWindow();
    }
}

}  // namespace vm::gui
