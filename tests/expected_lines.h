#pragma once

// Every line the tool prints, as the tests expect it, written out once. The
// tests keep their own copy of the bytes rather than the product's strings, so
// a changed line fails a test. Each "{}" of a template is filled by line().

#include <initializer_list>
#include <string>

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

// The template with its "{}" replaced by the values (text), in order.
template <typename... Values>
std::string line(std::string text, const Values&... values) {
    std::size_t at = 0;
    for (const std::string& value : std::initializer_list<std::string>{values...}) {
        at = text.find("{}", at);
        text.replace(at, 2, value);
        at += value.size();
    }
    return text;
}

// The fixed text before a template's first value.
inline std::string head(const std::string& tmpl) { return tmpl.substr(0, tmpl.find("{}")); }

}  // namespace expected
