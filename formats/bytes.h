// Bounds-checked access to design bytes. Every read of a file's contents goes through a
// ByteReader over a span: a read past the end, an offset past the end or an offset plus a
// length that overflows sets the reader's error and yields zero, never a garbage value.
// Writers append through a ByteWriter and patch their pointers in place afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vm::formats {

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

// True when [offset, offset + length) lies inside a buffer of `size` bytes.
constexpr bool fits(std::size_t size, std::size_t offset, std::size_t length)
{
    return offset <= size && length <= size - offset;
}

class ByteReader {
public:
    explicit ByteReader(ByteSpan bytes, std::size_t offset = 0) : bytes_(bytes), pos_(offset)
    {
        if (offset > bytes.size())
            fail();
    }

    std::size_t size() const { return bytes_.size(); }
    std::size_t pos() const { return pos_; }
    std::size_t remaining() const { return failed_ ? 0 : bytes_.size() - pos_; }
    bool ok() const { return !failed_; }
    bool atEnd() const { return failed_ || pos_ >= bytes_.size(); }

    void seek(std::size_t offset)
    {
        if (offset > bytes_.size())
            fail();
        else
            pos_ = offset;
    }
    void skip(std::size_t count)
    {
        if (!fits(bytes_.size(), pos_, count))
            fail();
        else
            pos_ += count;
    }

    std::uint8_t u8()
    {
        if (!fits(bytes_.size(), pos_, 1))
            return fail(), 0;
        return bytes_[pos_++];
    }
    // The next byte without consuming it; nullopt at the end.
    std::optional<std::uint8_t> peek(std::size_t ahead = 0) const
    {
        if (failed_ || !fits(bytes_.size(), pos_, ahead + 1))
            return std::nullopt;
        return bytes_[pos_ + ahead];
    }
    std::uint16_t u16le()
    {
        std::uint16_t lo = u8();
        return static_cast<std::uint16_t>(lo | (u8() << 8));
    }
    std::uint16_t u16be()
    {
        std::uint16_t hi = u8();
        return static_cast<std::uint16_t>((hi << 8) | u8());
    }
    std::uint32_t u24le()
    {
        std::uint32_t v = u8();
        v |= static_cast<std::uint32_t>(u8()) << 8;
        return v | (static_cast<std::uint32_t>(u8()) << 16);
    }
    std::uint32_t u32le()
    {
        std::uint32_t v = u16le();
        return v | (static_cast<std::uint32_t>(u16le()) << 16);
    }
    std::int16_t i16le() { return static_cast<std::int16_t>(u16le()); }
    std::int16_t i16be() { return static_cast<std::int16_t>(u16be()); }
    // A sub-span of `length` bytes from the current position (empty and failed when short).
    ByteSpan take(std::size_t length)
    {
        if (!fits(bytes_.size(), pos_, length))
            return fail(), ByteSpan{};
        ByteSpan part = bytes_.subspan(pos_, length);
        pos_ += length;
        return part;
    }
    // One length byte and that many characters.
    std::string pstring()
    {
        std::size_t length = u8();
        ByteSpan text = take(length);
        return std::string(text.begin(), text.end());
    }

private:
    void fail() { failed_ = true; pos_ = bytes_.size(); }

    ByteSpan bytes_;
    std::size_t pos_ = 0;
    bool failed_ = false;
};

// Reads at fixed offsets without a cursor; 0 for anything outside the span.
inline std::uint8_t byteAt(ByteSpan b, std::size_t offset) { return offset < b.size() ? b[offset] : 0; }
inline std::uint16_t u16leAt(ByteSpan b, std::size_t offset)
{
    return static_cast<std::uint16_t>(byteAt(b, offset) | (byteAt(b, offset + 1) << 8));
}
inline std::uint16_t u16beAt(ByteSpan b, std::size_t offset)
{
    return static_cast<std::uint16_t>((byteAt(b, offset) << 8) | byteAt(b, offset + 1));
}
inline std::uint32_t u24leAt(ByteSpan b, std::size_t offset)
{
    return byteAt(b, offset) | (byteAt(b, offset + 1) << 8) | (static_cast<std::uint32_t>(byteAt(b, offset + 2)) << 16);
}
inline std::uint32_t u32beAt(ByteSpan b, std::size_t offset)
{
    return (static_cast<std::uint32_t>(u16beAt(b, offset)) << 16) | u16beAt(b, offset + 2);
}
inline std::uint32_t u32leAt(ByteSpan b, std::size_t offset)
{
    return u16leAt(b, offset) | (static_cast<std::uint32_t>(u16leAt(b, offset + 2)) << 16);
}
inline bool startsWith(ByteSpan b, std::string_view text, std::size_t offset = 0)
{
    if (!fits(b.size(), offset, text.size()))
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (b[offset + i] != static_cast<std::uint8_t>(text[i]))
            return false;
    return true;
}
// The same, ASCII letters compared without regard to case.
bool startsWithNoCase(ByteSpan b, std::string_view text, std::size_t offset = 0);

class ByteWriter {
public:
    ByteWriter() = default;
    explicit ByteWriter(Bytes initial) : bytes_(std::move(initial)) {}

    std::size_t size() const { return bytes_.size(); }
    Bytes& bytes() { return bytes_; }
    Bytes take() { return std::move(bytes_); }

    void u8(unsigned v) { bytes_.push_back(static_cast<std::uint8_t>(v)); }
    void u16le(unsigned v) { u8(v & 0xFF); u8((v >> 8) & 0xFF); }
    void u16be(unsigned v) { u8((v >> 8) & 0xFF); u8(v & 0xFF); }
    void u24le(std::uint32_t v) { u16le(v & 0xFFFF); u8((v >> 16) & 0xFF); }
    void u32le(std::uint32_t v) { u16le(v & 0xFFFF); u16le(v >> 16); }
    void u32be(std::uint32_t v) { u16be(v >> 16); u16be(v & 0xFFFF); }
    void f32le(float v);
    void text(std::string_view t)
    {
        // Byte by byte: GCC 12 warns falsely about the bulk insert into an empty vector.
        for (char c : t)
            bytes_.push_back(static_cast<std::uint8_t>(c));
    }
    void raw(ByteSpan b) { bytes_.insert(bytes_.end(), b.begin(), b.end()); }
    void fill(std::size_t count, std::uint8_t value) { bytes_.insert(bytes_.end(), count, value); }
    void pstring(std::string_view t)
    {
        std::string_view cut = t.substr(0, 255);
        u8(static_cast<unsigned>(cut.size()));
        text(cut);
    }

    void patch16le(std::size_t offset, unsigned v) { at(offset) = v & 0xFF; at(offset + 1) = (v >> 8) & 0xFF; }
    void patch16be(std::size_t offset, unsigned v) { at(offset) = (v >> 8) & 0xFF; at(offset + 1) = v & 0xFF; }
    void patch24le(std::size_t offset, std::uint32_t v) { patch16le(offset, v & 0xFFFF); at(offset + 2) = (v >> 16) & 0xFF; }
    void patch32le(std::size_t offset, std::uint32_t v) { patch16le(offset, v & 0xFFFF); patch16le(offset + 2, v >> 16); }
    void patch32be(std::size_t offset, std::uint32_t v) { patch16be(offset, v >> 16); patch16be(offset + 2, v & 0xFFFF); }
    std::uint8_t& at(std::size_t offset)
    {
        if (offset >= bytes_.size())
            bytes_.resize(offset + 1, 0);
        return bytes_[offset];
    }

private:
    Bytes bytes_;
};

}  // namespace vm::formats
