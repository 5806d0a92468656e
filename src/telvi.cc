// The package table: one row per built package drives Telvi_Init, every <Word>_Init entry point and
// the static registrations that let `load "" <name>` find a package already in the process.
#include <array>
#include <cctype>
#include <mutex>
#include <string>

#include "package_table.h"
#include "telvi/package.h"

namespace {

using telvi::Package;

// An interface-class package registers its class without an interpreter; in the table it stands
// like every other package.
template <int (*InitInternal)(void)>
int initClassPackage(Tcl_Interp *) {
  return InitInternal();
}

constexpr Package kPackages[] = {
#define TELVI_ROW(place, name, Word, ...) \
  {place, name, #Word, {__VA_ARGS__}, Word##_InitInternal, Word##_Init},
#define TELVI_CLASS_ROW(place, name, Word, ...) \
  {place, name, #Word, {__VA_ARGS__}, initClassPackage<Word##_InitInternal>, Word##_Init},
    TELVI_PACKAGES(TELVI_ROW, TELVI_CLASS_ROW)
#undef TELVI_ROW
#undef TELVI_CLASS_ROW
};

enum PackageIndex {
#define TELVI_INDEX(place, name, Word, ...) k##Word,
  TELVI_PACKAGES(TELVI_INDEX, TELVI_INDEX)
#undef TELVI_INDEX
};

constexpr bool inOrder() {
  for (size_t i = 1; i < std::size(kPackages); ++i)
    if (kPackages[i - 1].place >= kPackages[i].place) return false;
  return true;
}
static_assert(inOrder(), "packages must be listed in initialisation order");

// Tcl's load derives the registered name from the package name: first letter upper case, the rest
// lower case ("toe" -> "Toe").
std::string loadName(const char *name) {
  std::string result(name);
  for (size_t i = 0; i < result.size(); ++i)
    result[i] = static_cast<char>(i == 0 ? std::toupper(static_cast<unsigned char>(result[i]))
                                         : std::tolower(static_cast<unsigned char>(result[i])));
  return result;
}

// Once per process, for every interpreter: the whole library and each package become loadable with
// `load "" <name>`.
void registerStaticPackages() {
  static std::once_flag once;
  std::call_once(once, [] {
    Tcl_StaticPackage(nullptr, "Telvi", Telvi_Init, nullptr);
    for (const Package &package : kPackages)
      Tcl_StaticPackage(nullptr, loadName(package.name).c_str(), package.init, nullptr);
  });
}

}  // namespace

int telvi::initPackage(Tcl_Interp *interp, const Package &package) {
  registerStaticPackages();
  for (const char *required : package.required) {
    if (required == nullptr) break;
    if (Tcl_PkgRequire(interp, required, "1.0", 0) == nullptr) return TCL_ERROR;
  }
  int code = Tcl_PkgProvide(interp, package.name, "1.0");
  if (code != TCL_OK) return code;
  return package.initInternal(interp);
}

extern "C" {

int Telvi_Init(Tcl_Interp *interp) {
  registerStaticPackages();
  for (const Package &package : kPackages) package.initInternal(interp);
  return TCL_OK;
}

#define TELVI_ENTRY(place, name, Word, ...) \
  int Word##_Init(Tcl_Interp *interp) { return telvi::initPackage(interp, kPackages[k##Word]); }
TELVI_PACKAGES(TELVI_ENTRY, TELVI_ENTRY)
#undef TELVI_ENTRY

}  // extern "C"
