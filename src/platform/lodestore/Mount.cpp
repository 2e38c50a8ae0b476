#include "platform/lodestore/Mount.h"

namespace Lodestore {

const char* stringValue(MountStatus status) {
  switch (status) {
    case MountStatus::success:
      return "success";
    case MountStatus::failure:
      return "failure";
    case MountStatus::timeout:
      return "timeout";
  }
  return "unknown";
}

void MountFlags::mountFlagsIs(std::string_view letters) {
  for (char ch : letters) {
    switch (ch) {
      case 'L':
        bits_ |= local;
        break;
      case 'r':
        bits_ |= read;
        break;
      case 'w':
        bits_ |= write;
        break;
      case 'c':
        bits_ |= create;
        break;
      default:
        invalid_ += ch;
        break;
    }
  }
}

std::string MountFlags::stringValue() const {
  std::string s;
  if (has(local)) s += 'L';
  if (has(read)) s += 'r';
  if (has(write)) s += 'w';
  if (has(create)) s += 'c';
  return s;
}

}  // namespace Lodestore
