// The settings file's reader and writer: no text crashes them, and a value written under a
// well-formed key reads back unchanged, whatever else the file holds.
#include <cstdlib>
#include <string>

#include "settings_store.h"

namespace {

bool WellFormedKey(const std::string& key) {
  return !key.empty() && key.find_first_of("=\r\n") == std::string::npos && key[0] != '[' &&
         key[0] != ';' && key.front() != ' ' && key.front() != '\t' && key.back() != ' ' &&
         key.back() != '\t';
}

bool WellFormedValue(const std::string& value) {
  if (value.find_first_of("\r\n") != std::string::npos) return false;
  if (!value.empty() && (value.front() == ' ' || value.front() == '\t' || value.back() == ' ' ||
                         value.back() == '\t'))
    return false;
  const bool quoted = value.size() >= 2 && (value[0] == '"' || value[0] == '\'') &&
                      value.back() == value[0];
  return !quoted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brannock;
  // The input is "text \0 key \0 value".
  const std::string all(reinterpret_cast<const char*>(data), size);
  const auto first = all.find('\0');
  const auto second = first == std::string::npos ? first : all.find('\0', first + 1);
  const std::string text = all.substr(0, first);
  const std::string key = first == std::string::npos ? "Key" : all.substr(first + 1, second - first - 1);
  const std::string value = second == std::string::npos ? "value" : all.substr(second + 1);
  (void)ReadIniValue(text, "Settings", key);
  const std::string written = WriteIniValue(text, "Settings", key, value);
  if (WellFormedKey(key) && WellFormedValue(value) && key.find('\0') == std::string::npos &&
      ReadIniValue(written, "settings", key) != value.substr(0, 2599))
    abort();
  return 0;
}
