// Puts a suite's environment variables in place when its program starts,
// unless the caller has set them already. ctest can pass an environment as
// well, but not to tests that GoogleTest discovery registers one by one,
// where only a single variable survives; a program of its own does not
// depend on how it was started.
#include <cstdlib>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

void SetDefault(const std::string& name, const std::string& value) {
  if (name.empty() || std::getenv(name.c_str()) != nullptr) return;
#if defined(_WIN32)
  SetEnvironmentVariableA(name.c_str(), value.c_str());
  _putenv_s(name.c_str(), value.c_str());
#else
  setenv(name.c_str(), value.c_str(), 0);
#endif
}

struct SuiteEnvironment {
  SuiteEnvironment() {
    // NAME=VALUE pairs joined by '|'.
    const std::string text = QUILLET_SUITE_ENVIRONMENT_TEXT;
    size_t begin = 0;
    while (begin <= text.size()) {
      size_t end = text.find('|', begin);
      if (end == std::string::npos) end = text.size();
      const std::string pair = text.substr(begin, end - begin);
      const size_t eq = pair.find('=');
      if (eq != std::string::npos) SetDefault(pair.substr(0, eq), pair.substr(eq + 1));
      begin = end + 1;
    }
  }
} suiteEnvironment;

}  // namespace
