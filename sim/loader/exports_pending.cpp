// Stand-ins for the model's export table (sim/loader/exports.cpp), which is
// not on this branch yet: no routine or variable of the model is exported, so
// an image binds only to the fallback exports its test gives. Weak, so the
// real table replaces them; this file goes when it lands.
#include "sim/loader/loader.h"

namespace sim::loader {

__attribute__((weak)) void* LookupExport(const std::string&, const std::string&) { return nullptr; }

__attribute__((weak)) bool IsExportedRoutine(const void*) { return false; }

}  // namespace sim::loader
