#pragma once

// Feature toggles: switches read from small JSON files, so a feature can be
// turned on or off on a running system without a new image.
//
// <directory>/<fileName> holds one JSON object of booleans:
//   { "LldpFastStart": true, "BackplaneAutoNegotiation": false }
//
// A toggle's value is read once, on first use, and kept for the life of the
// process: an agent never sees a feature change under its feet.

#include <string>
#include <vector>

namespace Toggles {

// The value of toggle `name` in `fileName`, or `defaultValue` when the file
// or the key is missing. A file that cannot be read, is not a regular file
// of at most 1 MiB, is not JSON, nests deeper than 64 levels or gives a key
// twice, or a value that is not a boolean, is reported once (stderr and
// errors()) and gives the default.
bool getToggleState(const std::string& name, const std::string& fileName, bool defaultValue);

// Directory the toggle files are read from (default "/etc/vorn/toggles").
// Values already read are kept; files not yet read come from the new place.
void directoryIs(const std::string& directory);
const std::string& directory();

// Forgets every file, value and error read so far (tests).
void resetCache();

// Every problem reported so far, oldest first.
std::vector<std::string> errors();

}  // namespace Toggles

namespace VornFabricLldp {
using Toggles::getToggleState;
}  // namespace VornFabricLldp
