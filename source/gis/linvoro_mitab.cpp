#include "linvoro_mitab.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <vector>

const char* const MitabLibraryName = "libmitab.so";

namespace {

std::string ExecutableFolder() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return std::string();
  std::string path(buf, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

template <typename F>
bool Resolve(void* lib, const char* name, F& target) {
  target = reinterpret_cast<F>(dlsym(lib, name));
  return target != nullptr;
}

}  // namespace

TMitabLibrary& TMitabLibrary::Instance() {
  static TMitabLibrary* library = [] {
    auto* l = new TMitabLibrary();  // lives as long as the process, like the library
    l->Load(MitabLibraryName);
    return l;
  }();
  return *library;
}

TMitabState TMitabLibrary::Load(const std::string& name) {
  FState = msNotFound;
  FApi = TMitabApi();
  FLoadedFrom.clear();
  FVersion = 0;

  // RTLD_NODELETE: the library brings GDAL along, which must not be
  // unloaded under its own exit handlers.
  const int flags = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;
  void* lib = nullptr;
  if (name.find('/') == std::string::npos) {
    // Beside the program (the build tree), then in the installed private
    // folder: found by path, so that the programs need no run path, which
    // would send the loader through that folder for every system library
    // at each start.
    const std::string folder = ExecutableFolder();
    std::vector<std::string> places;
    if (!folder.empty()) {
      places.push_back(folder + name);
#ifdef LINVORO_MITAB_PRIVATE_DIR
      places.push_back(std::filesystem::path(folder + LINVORO_MITAB_PRIVATE_DIR "/" + name).lexically_normal().string());
#endif
    }
    for (size_t i = 0; i < places.size() && !lib; ++i) {
      lib = dlopen(places[i].c_str(), flags);
      if (lib) FLoadedFrom = places[i];
    }
  }
  if (!lib) {
    lib = dlopen(name.c_str(), flags);
    if (lib) FLoadedFrom = name;
  }
  if (!lib) return FState;

  TMitabApi api;
  if (!Resolve(lib, "mitab_c_getlibversion", api.getlibversion)) {
    dlclose(lib);
    return FState = msNoVersion;
  }
  FVersion = api.getlibversion();
  if (FVersion != MitabLibVersion) {
    dlclose(lib);
    return FState = msWrongVersion;
  }
  const bool all = Resolve(lib, "mitab_c_create", api.create) &&
                   Resolve(lib, "mitab_c_set_charset", api.set_charset) &&
                   Resolve(lib, "mitab_c_add_field", api.add_field) &&
                   Resolve(lib, "mitab_c_create_feature", api.create_feature) &&
                   Resolve(lib, "mitab_c_set_field", api.set_field) &&
                   Resolve(lib, "mitab_c_set_pen", api.set_pen) &&
                   Resolve(lib, "mitab_c_set_brush", api.set_brush) &&
                   Resolve(lib, "mitab_c_set_symbol", api.set_symbol) &&
                   Resolve(lib, "mitab_c_set_points", api.set_points) &&
                   Resolve(lib, "mitab_c_write_feature", api.write_feature) &&
                   Resolve(lib, "mitab_c_destroy_feature", api.destroy_feature) &&
                   Resolve(lib, "mitab_c_close", api.close);
  if (!all) {
    // Calling through a missing entry point would crash mid-table.
    dlclose(lib);
    return FState = msMissingEntry;
  }
  Resolve(lib, "mitab_c_getlasterrorno", api.getlasterrorno);
  Resolve(lib, "mitab_c_getlasterrormsg", api.getlasterrormsg);
  Resolve(lib, "mitab_c_charset_supported", api.charset_supported);
  FApi = api;
  return FState = msReady;
}
