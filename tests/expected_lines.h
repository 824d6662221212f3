#pragma once

// Every line the tool prints, as the tests expect it, each written out once
// here. The tests keep their own copy of the bytes instead of the product's
// strings, so a change to a line in the product shows up as a failing test.
// In a template, each "{}" stands for one value, filled in by line().

#include <string>
#include <type_traits>

namespace expected {

constexpr char kUsage[] =
    "usage: lumaris_serial_spike <COMn> <step>\n"
    "  <step>: v | fill-red | fill-green | fill-blue | bri50 | off | on |\n"
    "          unplug-loop | all\n";
constexpr char kNote[] =
    "NOTE: run `unplug-loop` separately \xE2\x80\x94 it requires an interactive unplug/replug.\n";
constexpr char kPrompt[] = "Unplug the Orvane-1 now; replug within 30 s. Press ENTER to begin.\n";
constexpr char kNoWriteError[] = "FAIL unplug-loop: no write error observed within 150 s (did you unplug?)\n";
constexpr char kVersionTimeout[] = "FAIL v reply_bytes=(none, 2s timeout)\n";
constexpr char kBri50Ok[] = "OK bri=50 gap_ms=25\n";

constexpr char kVersionOk[] = "OK v reply=\"{}\"\n";
constexpr char kVersionBytes[] = "FAIL v reply_bytes={}\n";
constexpr char kVersionWriteFail[] = "FAIL v write code={}\n";
constexpr char kFillOk[] = "OK fill={} bytes=42\n";
constexpr char kFillFail[] = "FAIL fill={} code={}\n";
constexpr char kBri50Fail[] = "FAIL bri50 {} code={}\n";  // adalight_write or json_write
constexpr char kPowerOk[] = "OK {}\n";
constexpr char kPowerFail[] = "FAIL {} code={}\n";
constexpr char kBadPortName[] = "ERR invalid port name (expected COM<digits>, got '{}')\n";
constexpr char kOpenFail[] = "ERR open {} code={}\n";
constexpr char kUnknownStep[] = "ERR unknown step '{}'\n";
constexpr char kBadArgument[] = "ERR argument {} is not valid Unicode (unpaired surrogate)\n";
constexpr char kWriteError[] = "ERR write code={}\n";
constexpr char kReopenOk[] = "OK reopen attempt={} (first_write_err={})\n";
constexpr char kNoReopen[] = "FAIL no-reopen (first_write_err={})\n";

inline std::string text_of(const std::string& value) { return value; }
inline std::string text_of(const char* value) { return value; }
template <typename Number, typename = std::enable_if_t<std::is_integral<Number>::value>>
std::string text_of(Number value) {
    return std::to_string(value);
}

// The template with its "{}" replaced by the values, in order.
inline std::string line(const std::string& tmpl) { return tmpl; }
template <typename Value, typename... Rest>
std::string line(const std::string& tmpl, const Value& value, const Rest&... rest) {
    const std::size_t at = tmpl.find("{}");
    return tmpl.substr(0, at) + text_of(value) + line(tmpl.substr(at + 2), rest...);
}

// The fixed text before a template's first value.
inline std::string head(const std::string& tmpl) { return tmpl.substr(0, tmpl.find("{}")); }

}  // namespace expected
