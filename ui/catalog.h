// The HTML catalog of the read list: pages of up to nine designs in a three-by-three table,
// each with its picture, name, size, stitch count and a strip of its thread colours, written
// as "Thumbs/index.htm" in the read folder. Pictures and colour strips are made only when
// they are missing, so remaking a catalog keeps them.
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "formats/husvip.h"

#include <cstdarg>
#include <string>
#include <vector>

namespace vm::ui {

inline constexpr const char* kThumbsFolder = "Thumbs";
inline constexpr const char* kCatalogFile = "index.htm";

// The document, one growing buffer, written one tag at a time.
class HtmlWriter {
public:
    HtmlWriter();
    // "<name>" (flag 1: and a line break), or "<name attributes>" with the attributes
    // formatted from `format` and the arguments.
    void tag(const char* name, int flag, const char* format = nullptr, ...);
    // Formatted text as it stands.
    void text(const char* format, ...);
    const std::string& document() const { return buffer_; }

private:
    void room();
    void vappend(const char* format, va_list args);
    std::string buffer_;
};

// HTML text: & < > and " written as entities.
std::string htmlEscaped(const std::string& text);

// The picture of a design in the "Thumbs" folder: "rose_pes.bmp", and its colour strip
// "rose_pesc.bmp".
std::string catalogPictureName(const std::string& designPath);
std::string catalogStripName(const std::string& designPath);

// The colour strip: an 8-bit bitmap 16 pixels high and 8 wide per colour (at most 25), the
// thread colours first in its palette, the background at 253 and grey at 254.
formats::Bytes colourStrip(const std::vector<formats::Rgb>& colours, formats::Rgb background);

// Writes the catalog of `designs` into "<folder>/Thumbs/index.htm", making the pictures and
// colour strips that are missing. `coll` lends its "Color%d" items to the strips (emptied
// afterwards). 0; 16 when the "Thumbs" folder cannot be made or written.
int writeCatalog(CollHandle coll, const std::string& folder, const std::string& title,
                 const std::vector<std::string>& designs);

// The catalog document alone (pictures made as above).
std::string catalogDocument(CollHandle coll, const std::string& thumbs, const std::string& title,
                            const std::vector<std::string>& designs);

// Opens a page in the web browser: the program named by $VELMORA_BROWSER, else xdg-open.
// False when it cannot be started.
bool openInBrowser(const std::string& path);

}  // namespace vm::ui
