// A card image in memory, handed from the read (or a card image file) to the analysis and
// the extraction procedures through the number item `_carddata_` of the dialog collection.
#pragma once

#include "coll/coll.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace vm::cards {

inline constexpr const char* kCardDataItem = "_carddata_";

struct CardData {
    const std::uint8_t* image = nullptr;  // bytes from card address 0
    std::size_t length = 0;
};

// Points `_carddata_` at the record for as long as the object lives.
class CardDataHandOver {
public:
    CardDataHandOver(CollHandle coll, const CardData& data);
    ~CardDataHandOver();
    CardDataHandOver(const CardDataHandOver&) = delete;
    CardDataHandOver& operator=(const CardDataHandOver&) = delete;

private:
    CollHandle coll_;
    CardData data_;
};

// The image `_carddata_` of the collection points at; empty when there is none.
std::span<const std::uint8_t> cardImage(CollHandle coll);

// What a card read leaves for the read job: the design and stitch counts of a finished read
// (result 1), zeros for any other result, and after a finished read the type the read list
// shows (`ReadIndex`). Returns the result.
std::int64_t finishCardRead(CollHandle coll, int result, long designs, long stitches, int readIndex);

template <class Result>
std::int64_t finishCardRead(CollHandle coll, const Result& read, int readIndex)
{
    return finishCardRead(coll, read.result, static_cast<long>(read.designs), static_cast<long>(read.stitches), readIndex);
}

}  // namespace vm::cards
