// The plugin host: the one object that ties the local signing service together.
#pragma once

#include <string>

namespace dravik {

class TPluginHost {
 public:
  // The "Server" reply header's value: the program's file name without folder and
  // extension, "/", and the program's file version. Needs no host object.
  static std::string GetServerName();
};

}  // namespace dravik
