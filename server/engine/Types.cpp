#include "server/engine/Types.h"

#include <fmt/format.h>

namespace zem4::server {

std::string EscapeText(std::string_view Text) {
  std::string Out;
  Out.reserve(Text.size());
  for (unsigned char C : Text) {
    if (C == '"' || C == '\\') {
      Out.push_back('\\');
      Out.push_back(static_cast<char>(C));
    } else if (C >= 0x20 && C < 0x7F) {
      Out.push_back(static_cast<char>(C));
    } else {
      Out += fmt::format("\\x{:02x}", C);
    }
  }
  return Out;
}

} // namespace zem4::server
