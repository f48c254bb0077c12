// Resource packages: a folder with the string table ("strings.tsv": id, tab, text with C
// escapes) and one JSON file per dialog ("dialogs/<Name>.json"). A package is found by the
// name the program asks for ("BRMRes"), mapped through "dia.ini" [Package Maps] to the
// folder's name (default: the name itself) inside the data folder.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vm::dia {

enum class ItemKind { Button, Edit, Check, Radio, List, Combo, Static, Status, Bitmap, Progress, Colour, Hidden };

struct ItemDef {
    std::string tag;
    ItemKind kind = ItemKind::Static;
    std::string text;      // label; "$1".."$9" stand for the dialog's arguments
    int id = 0;            // window id (hidden items that jobs wake need one)
    std::string callback;  // exported name of the item's callback, or empty
    std::string procedure; // a procedure ("=DP_Name") that activating the item runs with
                           // the caller's and the dialog's collections
    std::string dialog;    // a dialog ("Package|Name") that activating the item opens, with
                           // this dialog's collection as its dialog and caller's collection
    std::string arg;       // the argument text (_diaGetProperty)
    int close = 0;         // buttons: the dialog result they close with
    bool isDefault = false;
    std::string value;     // radios: the value the tag holds when this one is chosen
    std::string choices;   // combos: tag of the table item that lists the choices
    std::vector<std::string> options;  // combos: fixed choices
    std::optional<std::string> initial;  // value stored in the collection when the dialog opens
    std::string group;     // a caption that starts a new group of items in the views
};

struct DialogDef {
    std::string name;
    std::string title;
    std::vector<ItemDef> items;
    // Closing with OK is accepted only while this expression holds for the value of the
    // item `acceptItem` (bound to _tag).
    std::string accept;
    std::string acceptItem;
    // Picture items are laid out in a grid of this many columns (0: one under the other).
    int pictureColumns = 0;
};

class Package {
public:
    static std::unique_ptr<Package> load(const std::string& name, const std::string& folder);

    const std::string& name() const { return name_; }
    const std::string& folder() const { return folder_; }
    std::optional<std::string> string(int id) const;
    // The definition of a dialog (case-insensitive name); nullptr when there is none or its
    // file does not parse (the reason goes to standard error).
    const DialogDef* dialog(std::string_view name) const;
    std::vector<std::string> dialogNames() const;

private:
    std::string name_;
    std::string folder_;
    std::map<int, std::string> strings_;
    mutable std::map<std::string, std::unique_ptr<DialogDef>> dialogs_;
};

// Parses one dialog definition; an error text when it is not valid.
std::optional<DialogDef> parseDialog(std::string_view name, std::string_view json, std::string& error);
// Reads the string table text: "id<TAB>text" lines, C escapes in the text.
std::map<int, std::string> parseStrings(std::string_view text);

// Loads (once) the package under a name from the folder of that name in the data folder
// (or, run from a build tree, in the source tree's res/); folderName empty: the folder
// "dia.ini" maps the name to. nullptr when the folder has no string table.
const Package* loadPackage(std::string_view name, std::string_view folderName = {});
void unloadPackages();
// The folder name "dia.ini" maps a package name to.
std::string mappedPackageName(std::string_view name);
// A string of the "BRMRes" package.
std::optional<std::string> loadString(int id);

}  // namespace vm::dia
