// The program's two well-known folders, each returned with a closing "/" and cached as a
// string item of the caller's collection:
//   "WorkDir"     scratch files: vm::platform::workDir() ($TMPDIR/VelmoraII_work/);
//   "TemplateDir" card templates: the folder "template" of the data folder
//                 (vm::platform::dataDir()).
// Each folder is created when missing. The cached text is used as it stands on later
// calls (the folder is made again if it was removed meanwhile), so the answer stays the
// same for the life of the collection even when the environment changes.
#pragma once

#include "coll/coll.h"

#include <cstddef>
#include <string>

namespace vm::frame {

inline constexpr const char* kWorkDirItem = "WorkDir";
inline constexpr const char* kTemplateDirItem = "TemplateDir";

// Copy the folder with its closing "/" and a zero into buf and return its length without
// the zero. An empty result (buf[0] = 0 when size > 0, return 0) when the folder cannot be
// created or the text and its zero do not fit in `size` bytes. coll may be 0: nothing is
// cached then.
std::size_t workDirectory(CollHandle coll, char* buf, std::size_t size);
std::size_t templateDirectory(CollHandle coll, char* buf, std::size_t size);

// The same without a size limit; empty when the folder cannot be created.
std::string workDirectory(CollHandle coll);
std::string templateDirectory(CollHandle coll);

}  // namespace vm::frame
