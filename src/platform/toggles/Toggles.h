#pragma once

// Feature toggles: switches read from small JSON files, so a feature can be
// turned on or off on a running system without a new image.
//
// <directory>/<fileName> holds one JSON object of booleans:
//   { "LldpFastStart": true, "BackplaneAutoNegotiation": false }
//
// A toggle's value is read once, on first use, and kept for the life of the
// switch's context (Oru::SwitchContext): an agent never sees a feature change
// under its feet.

#include <memory>
#include <string>
#include <vector>

namespace Toggles {

// One switch's toggle directory and everything read from it.
class Store {
 public:
  Store();
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // See getToggleState().
  bool state(const std::string& name, const std::string& fileName, bool defaultValue);

  // Directory the toggle files are read from (default "/etc/vorn/toggles").
  // Values already read are kept; files not yet read come from the new place.
  void directoryIs(const std::string& directory);
  const std::string& directory() const;

  // Forgets every file, value and error read so far.
  void resetCache();

  // Every problem reported so far, oldest first.
  const std::vector<std::string>& errors() const;

 private:
  struct Cache;
  std::unique_ptr<Cache> cache_;
};

// The value of toggle `name` in `fileName` of the active switch context's
// store, or `defaultValue` when the file or the key is missing. With no
// context active the file is read afresh and nothing is kept. A file that cannot be read, is not a regular file
// of at most 1 MiB, is not JSON, nests deeper than 64 levels or gives a key
// twice, or a value that is not a boolean, is reported once (stderr and
// errors()) and gives the default.
bool getToggleState(const std::string& name, const std::string& fileName, bool defaultValue);

// The active context's toggle directory, "/etc/vorn/toggles" with none.
std::string directory();

// Every problem the active context's store reported so far, oldest first.
std::vector<std::string> errors();

}  // namespace Toggles

namespace VornFabricLldp {
using Toggles::getToggleState;
}  // namespace VornFabricLldp
