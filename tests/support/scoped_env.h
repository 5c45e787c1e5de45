// Sets or clears an environment variable of the test process for the life
// of the object, and puts the old value back.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace vexu::test {

inline void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
    // An empty value removes the variable.
    _putenv_s(name, value ? value : "");
#else
    value ? setenv(name, value, 1) : unsetenv(name);
#endif
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        SetEnv(name, value);
    }
    ~ScopedEnv() { SetEnv(name_, old_ ? old_->c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace vexu::test
