// SPDX-License-Identifier: MIT
/// @file
/// The host library's facade, part 1: finding, probing, scanning and loading plug-ins of the 2.4
/// interface. Stable: names here change only with the major version.
///
///   auto plugin = trimwise::host::Plugin::load("Trimwise");   // a path, or a name to search
///   auto instance = plugin.instantiate({.sampleRate = 48000, .blockSize = 256});
///
/// Nothing in the library prints, reads the command line or ends the process; failures are thrown
/// as the errors of <trimwise/host/errors.h>.
#pragma once

#include <trimwise/host/errors.h>
#include <trimwise/host/instance.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace trimwise::host {

namespace raw {
class PluginModule;
}

/// A folder plug-ins are searched in, and why it is on the search path: "VST_PATH",
/// "LXVST_PATH", "home" or "system".
struct SearchFolder {
   std::string path;
   std::string origin;
};

/// The search path in order, from the environment as it is now: the folders of VST_PATH, then of
/// LXVST_PATH, ~/.vst, ~/.lxvst, /usr/local/lib/vst, /usr/local/lib/lxvst, /usr/lib/vst,
/// /usr/lib/lxvst (PLUGHOST_SYSTEM_PATH, when set, replaces the four system folders). Folders
/// that do not exist are kept. Any thread.
std::vector<SearchFolder> searchPath();

/// The library to load for `nameOrPath`. A text holding a slash, or naming a file in the working
/// folder, is a path; any other is the first plug-in on the search path of that name, with or
/// without ".so" or ".vst". Throws LoadError if a bare name is found nowhere. Any thread.
std::string findPlugin(const std::string& nameOrPath);

/// How a probe ended.
enum class ProbeStatus {
   usable,  ///< opened, read and closed
   refused, ///< no plug-in, or its entry point gave no usable record
   crashed, ///< the child died of a signal or ended itself while loading
   hung,    ///< it took longer than allowed and was stopped
};

/// What a plug-in reports about itself, read in a child process (see probe()).
struct PluginInfo {
   std::string path;
   std::string name;   ///< the effect name; may be empty
   std::string vendor; ///< may be empty
   int32_t uniqueId = 0;
   int32_t category = 0; ///< the plug-in's answer to effGetPlugCategory
   int32_t inputs = 0;
   int32_t outputs = 0;
   int32_t parameters = 0;
   int32_t flags = 0; ///< the record's effFlags bits
   bool isInstrument = false;
   /// False when the plug-in could not be opened; `reason` then says why ("crashed while
   /// loading: SIGSEGV ...", "exports no plug-in entry point", ...).
   bool usable = true;
   std::string reason;
   ProbeStatus status = ProbeStatus::usable;
   /// Where scanFolders() found it: the index of its search folder, its path relative to that
   /// folder, and the name a bare PLUGIN matches (the file name without ".so" or ".vst").
   size_t folder = 0;
   std::string relative;
   std::string lookupName;
};

/// Loads `path` in a child process, opens an instance, reads what it reports and closes it, so
/// that a plug-in that crashes, hangs or ends its process while loading cannot take the caller
/// with it. Throws LoadError if the library is no usable plug-in, PluginCrashed if the child
/// died, PluginTimeout if it took longer than `timeoutSeconds`. Starts a process with fork():
/// call it before starting threads that hold locks, or accept that the child only loads the
/// plug-in. Any thread; never during processing.
PluginInfo probe(const std::string& path, double timeoutSeconds = 60.0);

/// Every plug-in in `folders` (with subfolders), each probed as probe() does, up to `atOnce`
/// children at a time. Unusable ones are listed with usable false and their reason, never
/// thrown. In search order; a library reachable by several paths is listed once. Any thread;
/// never during processing.
std::vector<PluginInfo> scan(const std::vector<SearchFolder>& folders = searchPath(),
                             size_t atOnce = 2, double timeoutSeconds = 60.0);

/// All a scan found: the plug-ins, and what was set aside.
struct ScanReport {
   std::vector<PluginInfo> plugins;     ///< as scan() lists them
   std::vector<std::string> notPlugins; ///< shared libraries without an entry point, not loaded
   std::vector<std::string> unreadable; ///< folders that exist but could not be read
};

/// scan() with what it set aside. Any thread; never during processing.
ScanReport scanFolders(const std::vector<SearchFolder>& folders = searchPath(), size_t atOnce = 2,
                       double timeoutSeconds = 60.0);

/// A plug-in library loaded into this process. Copies share the library, which stays loaded
/// until the last copy and the last instance made from it are gone.
class Plugin {
public:
   /// Finds `nameOrPath` as findPlugin() does and loads the library. With `probeFirst` it is
   /// loaded in a child process first (see probe()), so a plug-in that crashes while loading
   /// throws PluginCrashed here instead of ending this process. Throws LoadError if it is no
   /// plug-in. Any thread; not while another thread processes with the same library.
   static Plugin load(const std::string& nameOrPath, bool probeFirst = false);

   /// The library's path, as found.
   const std::string& path() const;

   /// A new instance, opened and told the sample rate and block size of `options`, not yet
   /// started. Throws LoadError if the entry point returns no usable record. Any thread.
   Instance instantiate(const InstanceOptions& options = {}) const;

   /// The library for the raw layer (<trimwise/host/raw/module.h>); unstable.
   const std::shared_ptr<raw::PluginModule>& module() const { return module_; }

private:
   explicit Plugin(std::shared_ptr<raw::PluginModule> module) : module_(std::move(module)) {}
   std::shared_ptr<raw::PluginModule> module_;
};

} // namespace trimwise::host
