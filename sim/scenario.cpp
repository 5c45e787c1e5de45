#include "sim/scenario.h"

#include <algorithm>

namespace vexu::sim {

namespace {

std::string_view Trim(std::string_view text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

}  // namespace

bool ParseUnsigned(std::string_view text, uint64_t& value) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    uint64_t result = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        if (digit >= base) return false;
        if (result > (UINT64_MAX - digit) / base) return false;
        result = result * base + digit;
    }
    value = result;
    return true;
}

bool Scenario::Parse(std::string_view text, Scenario& out, std::string& error) {
    Scenario parsed;
    text = Trim(text);
    for (bool more = !text.empty(); more;) {
        size_t comma = text.find(',');
        std::string_view item = Trim(text.substr(0, comma));
        more = comma != std::string_view::npos;
        if (more) text = text.substr(comma + 1);
        if (item.empty()) {
            error = "empty item in the scenario";
            return false;
        }
        size_t equals = item.find('=');
        std::string_view key = Trim(item.substr(0, equals));
        if (key.empty()) {
            error = "scenario item \"" + std::string(item) + "\" has no key";
            return false;
        }
        if (parsed.Find(key)) {
            error = "scenario key \"" + std::string(key) + "\" given twice";
            return false;
        }
        Entry entry{std::string(key), {}, equals == std::string_view::npos, false};
        if (!entry.bare) entry.value = std::string(Trim(item.substr(equals + 1)));
        parsed.entries_.push_back(std::move(entry));
    }
    out = std::move(parsed);
    return true;
}

Scenario::Entry* Scenario::Find(std::string_view key) {
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.key == key; });
    return it == entries_.end() ? nullptr : &*it;
}

const Scenario::Entry* Scenario::Find(std::string_view key) const {
    return const_cast<Scenario*>(this)->Find(key);
}

bool Scenario::Has(std::string_view key) const { return Find(key) != nullptr; }

std::optional<std::string> Scenario::Take(std::string_view key) {
    Entry* entry = Find(key);
    if (!entry) return std::nullopt;
    entry->taken = true;
    return entry->value;
}

bool Scenario::TakeFlag(std::string_view key, bool& value, std::string& error) {
    Entry* entry = Find(key);
    if (!entry) return true;
    entry->taken = true;
    if (entry->bare || entry->value == "1") {
        value = true;
    } else if (entry->value == "0") {
        value = false;
    } else {
        error = "scenario key \"" + entry->key + "\" is a flag: give it bare, =1 or =0";
        return false;
    }
    return true;
}

std::string RangeError(std::string_view key, uint64_t min, uint64_t max, std::string_view given) {
    return "scenario key \"" + std::string(key) + "\" needs a number from " + std::to_string(min) + " to " +
           std::to_string(max) + ", not \"" + std::string(given) + "\"";
}

bool Scenario::TakeUnsigned(std::string_view key, uint64_t max, uint64_t& value, std::string& error, uint64_t min) {
    Entry* entry = Find(key);
    if (!entry) return true;
    entry->taken = true;
    uint64_t parsed = 0;
    if (entry->bare || !ParseUnsigned(entry->value, parsed) || parsed > max || parsed < min) {
        error = RangeError(entry->key, min, max, entry->bare ? "" : entry->value);
        return false;
    }
    value = parsed;
    return true;
}

bool Scenario::TakeText(std::string_view key, std::string& value, std::string& error) {
    Entry* entry = Find(key);
    if (!entry) return true;
    entry->taken = true;
    if (entry->bare || entry->value.empty()) {
        error = "scenario key \"" + entry->key + "\" needs a value";
        return false;
    }
    value = entry->value;
    return true;
}

std::vector<std::string> Scenario::Leftover() const {
    std::vector<std::string> keys;
    for (const Entry& entry : entries_)
        if (!entry.taken) keys.push_back(entry.key);
    return keys;
}

std::string Scenario::LeftoverError() const {
    std::vector<std::string> keys = Leftover();
    if (keys.empty()) return {};
    std::string text = keys.size() == 1 ? "unknown scenario key: " : "unknown scenario keys: ";
    for (size_t i = 0; i < keys.size(); ++i) text += (i ? ", " : "") + keys[i];
    return text;
}

std::string FormatScenarioHelp(std::span<const ScenarioKeyHelp> keys) {
    size_t width = 0;
    for (const ScenarioKeyHelp& k : keys) width = std::max(width, std::string_view(k.key).size());
    std::string text;
    for (const ScenarioKeyHelp& k : keys) {
        std::string key = k.key;
        key.resize(width, ' ');
        text += "  " + key + "  " + k.help + "\n";
    }
    return text;
}

}  // namespace vexu::sim
