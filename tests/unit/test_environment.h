// Environment variables for the tests, the same call on both systems. The server keeps
// its work folder and log under TEMP, so most suites point TEMP at a folder of their own.
#pragma once

#include <stdlib.h>

#include <string>

// Sets a variable for this process; an empty value removes it.
inline void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  if (value.empty()) {
    ::unsetenv(name);
  } else {
    ::setenv(name, value.c_str(), 1);
  }
#endif
}

// Points TEMP at the folder; an empty one removes TEMP.
inline void SetTemp(const std::string& folder) { SetEnvironment("TEMP", folder); }
