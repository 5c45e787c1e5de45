// A scenario for the simulated box and board: "KEY=VALUE,KEY,..." parsed into
// a map. The box and each device model take the keys they understand; keys
// that nobody took are an error, so a misspelt key never goes unnoticed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vexu::sim {

// One documented key, for the help text.
struct ScenarioKeyHelp {
    const char* key;   // with its value form, e.g. "latency-us=N"
    const char* help;  // one line
};

class Scenario {
public:
    Scenario() = default;

    // Parses "KEY=VALUE,KEY,...". Blanks around keys and values are dropped;
    // a key without '=' is a bare flag. An empty key or a key given twice is
    // an error (false, error set, out left empty).
    static bool Parse(std::string_view text, Scenario& out, std::string& error);

    bool Has(std::string_view key) const;
    // Takes the key: marks it consumed and returns its value ("" for a bare
    // key); nullopt when it is absent.
    std::optional<std::string> Take(std::string_view key);

    // Typed takes. Each leaves value untouched when the key is absent and
    // returns false with a message naming the key when it is malformed.
    // A flag is a bare key (or =1 / =0).
    bool TakeFlag(std::string_view key, bool& value, std::string& error);
    // Decimal or 0x-hexadecimal, from min to max.
    bool TakeUnsigned(std::string_view key, uint64_t max, uint64_t& value, std::string& error, uint64_t min = 0);
    bool TakeText(std::string_view key, std::string& value, std::string& error);

    // Keys nobody took, in the order given.
    std::vector<std::string> Leftover() const;
    // Empty when every key was taken, else a message naming the others.
    std::string LeftoverError() const;

private:
    struct Entry {
        std::string key;
        std::string value;
        bool bare;
        bool taken;
    };
    Entry* Find(std::string_view key);
    const Entry* Find(std::string_view key) const;
    std::vector<Entry> entries_;
};

// Decimal or 0x-hexadecimal digits only, fitting in 64 bits.
bool ParseUnsigned(std::string_view text, uint64_t& value);

// The one form of every range message:
//   scenario key "verify-fail-row" needs a number from 0 to 1243, not "5000"
std::string RangeError(std::string_view key, uint64_t min, uint64_t max, std::string_view given);

// "  key  help" lines, keys padded to one column.
std::string FormatScenarioHelp(std::span<const ScenarioKeyHelp> keys);

}  // namespace vexu::sim
