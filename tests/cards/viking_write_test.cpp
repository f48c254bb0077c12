// A Viking card written through the box: the write job builds the image with Viking29F040,
// programs it into the virtual box's 1 MiB chip twice (at 0 and at 0x80000), and the read
// job takes the same designs off again.
#include "box/jobs.h"
#include "cards/card_box.h"
#include "cards/compile29f040.h"
#include "cards/viking.h"
#include "formats/pec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;
using namespace vm::cards;
using vm::testing::CardBox;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes fileBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class VikingWrite : public CardBox {
protected:
    void SetUp() override
    {
        CardBox::SetUp();
        collSetString(coll_, "Prefix", "card-");
        collSetNumeric(coll_, "Make", 1);
    }

    // Corpus designs of three groups, copied under names whose labels differ.
    void setDesigns()
    {
        const fs::path corpus = VELMORA_CORPUS_DIR;
        TableHandle table = tableCreate(1, 0);
        int i = 0;
        for (const char* name : {"synthetic/pes/p02_three_colors_jumps_trims.pes", "synthetic/pec/p01_square_1color.pec",
                                 "synthetic/dst/p07_negative_coords.dst", "synthetic/jef/p06_many_colors.jef",
                                 "real/exp/inkpy__Hopea.exp"}) {
            fs::path copy = root_ / ("w" + std::to_string(i++) + fs::path(name).filename().string());
            fs::copy_file(corpus / name, copy);
            tableAddRow(table, copy.c_str(), copy.string().size() + 1);
        }
        collSetTable(coll_, "PESTable", table);
        tableDestroy(table);
    }

    // The image the builder makes of the list, as far as CardSize.
    Bytes builtImage()
    {
        EXPECT_EQ(runBuilder(0, "=Compile29F040", caller_, coll_), 1);
        std::unique_ptr<CardBuffer> buffer = takeCardBuffer(coll_);
        if (!buffer)
            return {};
        buffer->bytes.resize(static_cast<std::size_t>(collGetNumeric(coll_, "CardSize")));
        return buffer->bytes;
    }
};

// The records of a one-list card built by us: from 113, as long as the length table says.
std::vector<Bytes> recordsOf(const Bytes& card)
{
    std::vector<Bytes> records;
    std::size_t at = kVikingRecordsK1;
    for (std::size_t slot = 0; slot < 35 && card[6 + slot] == 0x01; ++slot) {
        std::size_t length = std::size_t{card[43 + 2 * slot]} << 8 | card[44 + 2 * slot];
        records.emplace_back(card.begin() + static_cast<std::ptrdiff_t>(at), card.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    return records;
}

}  // namespace

TEST_F(VikingWrite, A29F080CardHoldsTheImageTwiceAndReadsBackToTheSameDesigns)
{
    setDesigns();
    startBox("29F080");
    view_->answerNext(IDYES);
    ASSERT_TRUE(press("CardWrite"));
    ASSERT_FALSE(view_->messages().empty());
    EXPECT_EQ(view_->messages().back().text, *vm::dia::loadString(136));
    std::vector<std::string> second = sent("ws40 08 ");
    EXPECT_FALSE(second.empty());  // the mirror rows start at segment 8

    Bytes built = builtImage();
    ASSERT_GT(built.size(), kVikingRecordsK1);
    std::vector<Bytes> records = recordsOf(built);
    ASSERT_EQ(records.size(), 5u);

    ASSERT_TRUE(press("ReadCard"));
    EXPECT_EQ(item(vm::box::kStatusItem, caller_).rfind("5 designs", 0), 0u) << item(vm::box::kStatusItem, caller_);
    for (const Bytes& record : records) {
        std::string name(record.begin() + 3, record.begin() + 19);
        name.erase(name.find_last_not_of(' ') + 1);
        SCOPED_TRACE(name);
        EXPECT_EQ(fileBytes(root_ / "read" / (name + ".huc")), record);
        EXPECT_TRUE(fs::exists(root_ / "read" / (name + ".pec")));
    }

    stopComm();
    sim_->stop();
    const Bytes& held = sim_->box().card();
    ASSERT_EQ(held.size(), 0x100000u);
    EXPECT_TRUE(std::equal(built.begin(), built.end(), held.begin()));
    EXPECT_TRUE(std::equal(built.begin(), built.end(), held.begin() + 0x80000));
    // Between the copies and behind the second the card stays erased.
    EXPECT_TRUE(std::all_of(held.begin() + static_cast<std::ptrdiff_t>(built.size()) + 0x100, held.begin() + 0x80000,
                            [](std::uint8_t b) { return b == 0xFF; }));
}
