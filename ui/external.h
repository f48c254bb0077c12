// The links to other embroidery programs: which program opens each design type (this
// program's own "OpenWith" list, and Embird's and Buzz's lists pointed at the link utility),
// and the hand-over of a design to another program ("Transfer").
#pragma once

#include "coll/coll.h"
#include "formats/bytes.h"
#include "formats/husvip.h"
#include "platform/window.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace vm::ui {

// One association list: its word in the buttons' arguments, its table in the dialog
// collection, the resource table of its extensions, the table's columns, and where it is
// kept (the settings file's "OpenWith" section, or a section of the ini file named by an
// item of the collection).
struct AssociationPackage {
    const char* word;
    const char* table;
    const char* extensions;
    const char* typeColumn;
    const char* openWithColumn;
    const char* programColumn;
    const char* iniItem;  // nullptr: the settings file
    const char* section;
};
const std::array<AssociationPackage, 3>& associationPackages();
const AssociationPackage* associationPackage(std::string_view word);

// The lines of a resource table of the "BRMRes" package ("tables/<name>.txt"): one row a
// line, fields separated by tabs. Empty when there is none.
std::vector<std::vector<std::string>> resourceTable(std::string_view name);

// The store of a package: the settings file, or the ini file its item names (empty: none).
std::string associationStore(CollHandle coll, const AssociationPackage& package);
// Builds the package's table in `coll` from its extensions and its store. False when the
// extension table is missing.
bool loadAssociations(CollHandle coll, const AssociationPackage& package);
// Writes every row of the package's table back to its store (an empty program removes the
// extension's entry).
void saveAssociations(CollHandle coll, const AssociationPackage& package);

// The link utility "Linkvmii" in the program's own folder; empty when that folder is unknown.
std::string linkUtilityPath();
// Stitch & Sew: "Compucon/Stitch&Sew/StitchSew.exe" from the root the program runs from.
std::string stitchAndSewPath();

// Sets the selected row of a package's table to `program`, or every row but the first when
// the first row (all types) is selected; an empty program clears. False when no row is
// selected.
bool setAssociation(CollHandle coll, const AssociationPackage& package, const std::string& program);

// Starts `program` with the design, without a shell: argument 0 is the program's file name
// without extension, argument 1 the design path. 0, or the errno of the failure.
int startProgram(const std::string& program, const std::string& design);
// The same with the arguments given (argument 0 first).
int spawnProgram(const std::string& program, const std::vector<std::string>& arguments);

// Puts the background and thread colours into a DST file's 512-byte header as 6-bit values:
// the background at 489 to 491, threads three bytes each from 492 (the seventh's blue at 488),
// and threads from the eighth on as 8-bit values from 401, as the DST reader takes them back.
// False when the file is shorter than its header.
bool putDstColours(formats::Bytes& dst, formats::Rgb background, const std::vector<formats::Rgb>& threads);

// The Transfer of `design`: to the program associated with its extension, or, with `Exe`
// set, brought into `Folder` (copied, or made DST or PEC after `Ext`) and handed to `Exe`.
// 0 when a program was started, else the message shown: 1 no association, 2 incompatible
// design, 3 the start failed.
int transferDesign(platform::WindowHandle window, CollHandle coll, const std::string& design);

}  // namespace vm::ui
