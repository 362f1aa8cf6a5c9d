// The mitab library, bound at run time. The converter itself does not
// depend on it: TAB output is available when a library of the expected
// version is found, and the writers fall back to MIF otherwise.
//
// The library is looked for under the name "libmitab.so", first in the
// folder of the running executable, then on the system's library path.
#pragma once

#include <cstdint>
#include <string>

using mitab_handle = void*;
using mitab_feature = void*;

// The only library version whose behaviour the TAB writer knows.
constexpr int MitabLibVersion = 1007001;
extern const char* const MitabLibraryName;  // "libmitab.so"

// mitab feature type codes.
constexpr int TABFC_NoGeom = 0;
constexpr int TABFC_Point = 1;
constexpr int TABFC_Polyline = 5;
constexpr int TABFC_Region = 7;
// mitab field type codes (a TGISField value plus 1).
constexpr int TABFT_Decimal = 4;

// The entry points the writer calls.
struct TMitabApi {
  int (*getlibversion)() = nullptr;
  mitab_handle (*create)(const char* filename, const char* mif_or_tab, const char* coordsys,
                         double north, double south, double east, double west) = nullptr;
  int (*set_charset)(mitab_handle, const char* charset) = nullptr;
  int (*add_field)(mitab_handle, const char* name, int type, int width, int precision,
                   int indexed, int unique) = nullptr;
  mitab_feature (*create_feature)(mitab_handle, int feature_type) = nullptr;
  void (*set_field)(mitab_feature, int field_index, const char* value) = nullptr;
  void (*set_pen)(mitab_feature, int width, int pattern, int color) = nullptr;
  void (*set_brush)(mitab_feature, int fg_color, int bg_color, int pattern,
                    int transparent) = nullptr;
  void (*set_symbol)(mitab_feature, int symbol_no, int symbol_size, int symbol_color) = nullptr;
  void (*set_points)(mitab_feature, int part, int vertex_count, double* x, double* y) = nullptr;
  int (*write_feature)(mitab_handle, mitab_feature) = nullptr;
  void (*destroy_feature)(mitab_feature) = nullptr;
  void (*close)(mitab_handle) = nullptr;
  // Optional: the library's report of its last failure (nullptr when it
  // has none to give).
  int (*getlasterrorno)() = nullptr;
  const char* (*getlasterrormsg)() = nullptr;
  // Optional: whether tables can be written in a MapInfo charset (nullptr
  // in libraries that write the 8-bit charsets only).
  int (*charset_supported)(const char* charset) = nullptr;
};

// What the last probe found.
enum TMitabState : uint8_t {
  msNotFound,       // no library of that name could be loaded
  msNoVersion,      // it has no mitab_c_getlibversion
  msWrongVersion,   // it reports a version other than MitabLibVersion
  msMissingEntry,   // right version, but an entry point the writer calls is absent
  msReady           // every entry point resolved
};

class TMitabLibrary {
 public:
  // The program's binding; the first call probes MitabLibraryName.
  static TMitabLibrary& Instance();

  // Probes a library: a name without "/" is looked for beside the executable
  // first, then in the installed programs' private library folder, then on
  // the library path; a path is loaded as given. Replaces
  // what an earlier probe found. A library once loaded stays in the process
  // (it may have started threads or registered exit handlers of its own).
  TMitabState Load(const std::string& name);

  TMitabState State() const { return FState; }
  bool Ready() const { return FState == msReady; }
  // The resolved entry points; all null unless Ready.
  const TMitabApi& Api() const { return FApi; }
  // The file that was loaded ("" when none) and the version it reported.
  const std::string& LoadedFrom() const { return FLoadedFrom; }
  int Version() const { return FVersion; }

 private:
  TMitabLibrary() = default;

  TMitabState FState = msNotFound;
  TMitabApi FApi;
  std::string FLoadedFrom;
  int FVersion = 0;
};
