// Small PEC and PES images for the tests, built from a stream of hand-written bytes.
#pragma once

#include "formats/pec.h"

#include <array>
#include <initializer_list>
#include <string>
#include <vector>

namespace vm::formats::testing {

// "#PEC0001", the block header with the colours and sizes, the stream as given (its end
// mark included) and the thumbnails drawn with `frame`.
inline Bytes makePec(std::vector<std::uint8_t> colours, int width, int height, std::vector<std::uint8_t> stream,
                     Frame frame = Frame::Plain)
{
    ByteWriter out;
    out.text(kPecMagic);
    writePecHeader(out, "test", colours, width, height);
    out.raw(stream);
    Bytes pec = out.take();
    appendThumbnails(pec, frame, static_cast<int>(colours.size()));
    return pec;
}

// A PES of version "0030" holding the given PEC images' blocks as its designs.
inline Bytes makePes30(const std::vector<Bytes>& pecs, int hoopWidth = 100, int hoopHeight = 100)
{
    ByteWriter out;
    out.text("#PES0030");
    out.u32le(0);
    out.u16le(static_cast<unsigned>(pecs.size()));
    out.u16le(0);
    out.u16le(static_cast<unsigned>(hoopWidth));
    out.u16le(static_cast<unsigned>(hoopHeight));
    out.u16le(0);
    out.patch32le(8, static_cast<std::uint32_t>(out.size()));
    for (const Bytes& pec : pecs) {
        out.raw(ByteSpan(pec).subspan(8));
        out.fill(8, 0);
    }
    return out.take();
}

// A HUC of blocks (colour, record units): its label padded to 16, the extents given (+X, +Y,
// -X, -Y), every block starting at 0.
inline Bytes makeHucOfBlocks(const std::vector<std::pair<int, std::vector<std::uint8_t>>>& blocks,
                             std::string label = "test", std::array<int, 4> extents = {})
{
    ByteWriter out;
    out.u8(static_cast<unsigned>(blocks.size()));
    out.u8(0xC4);
    out.u8(0x40);
    label.resize(16, ' ');
    out.text(label);
    for (int v : extents)
        out.u16be(static_cast<unsigned>(v) & 0xFFFF);
    std::size_t total = 0;
    for (const auto& block : blocks)
        total += block.second.size() / 2;
    out.u16be(static_cast<unsigned>(total));
    for (const auto& [colour, units] : blocks) {
        out.u16be(static_cast<unsigned>(units.size() / 2));
        out.u8(static_cast<unsigned>(colour));
        out.fill(4, 0);
    }
    for (const auto& block : blocks)
        out.raw(block.second);
    return out.take();
}

inline std::string text(ByteSpan bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace vm::formats::testing
