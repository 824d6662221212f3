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

// lumaris_serial_probe; it shares kBadPortName and kOpenFail.
constexpr char kProbeUsage[] =
    "usage: lumaris_serial_probe ports\n"
    "       lumaris_serial_probe find <VID:PID>[:<serial>]\n"
    "       lumaris_serial_probe <COMn> ready\n"
    "       lumaris_serial_probe <COMn> state [<key>=<value> ...]\n"
    "       lumaris_serial_probe <COMn> stream [seconds=S] [fps=F] [leds=N]\n"
    "  <key>: on | bri | live | leds | ver | name\n"
    "  S: 1-3600 (30), F: 1-300 (30), N: 1-2048 (what the controller reports)\n";
constexpr char kUnknownCommand[] = "ERR unknown command '{}'\n";
constexpr char kReadyOk[] = "OK ready ms={} attempts={} reply=\"{}\"\n";
constexpr char kReadyOtherText[] =
    "NOTE: {} bytes of other text came before the reply; the board probably restarted when the port "
    "opened.\n";
constexpr char kReadyFail[] = "FAIL ready ms={} attempts=30 last={}\n";  // the last obstacle
constexpr char kReadyDtrNote[] =
    "NOTE: {} is a native USB port ({}): DTR raised after the open, RTS kept off.\n";
constexpr char kDtrRefusedNote[] =
    "NOTE: {} is a native USB port ({}), but the driver refused to raise DTR (code={}): DTR stayed off, and "
    "such firmware usually answers only while DTR is up.\n";
constexpr char kStateOk[] = "OK state on={} bri={} live={} leds={} ver={} name={}\n";
constexpr char kStateFail[] = "FAIL state {}\n";  // what failed, as key=value
constexpr char kStateCheckFail[] = "FAIL state key={} expected={} reported={}\n";
constexpr char kStateCheckHidden[] = "FAIL state key={} expected={} reported={} hidden-difference\n";
constexpr char kBadCheck[] =
    "ERR invalid check '{}' (expected <key>=<value>, <key> one of on bri live leds ver name)\n";
constexpr char kBadUsbId[] = "ERR invalid USB id '{}' (expected VID:PID or VID:PID:serial in hex)\n";
constexpr char kStateBusyNote[] = "NOTE: error 3: the controller had no buffer free; try again.\n";
constexpr char kBadStreamArgs[] =
    "ERR invalid stream arguments (expected seconds=1-3600 fps=1-300 leds=1-2048, each once)\n";
// frames late fps leds seconds p50 p99 max text_bytes, then the rest of the line.
constexpr char kStream[] =
    "{} stream frames={} late={} fps={} leds={} seconds={} write_p50_ms={} write_p99_ms={} write_max_ms={} "
    "text_bytes={}{}\n";
constexpr char kStreamText[] =
    "NOTE: text came {} s into the stream, first line \"{}\"; text mid-stream usually means the board "
    "restarted.\n";
constexpr char kStreamReset[] = "NOTE: the board reported a reset {} time(s), first: \"{}\"\n";
constexpr char kStreamCeiling[] =
    "NOTE: fps={} is over the line's ceiling at {} LEDs ({} bytes a frame): the stream runs at {} frames per "
    "second.\n";
constexpr char kStreamNoLeds[] = "FAIL stream leds=unknown cause={} hint=\"give leds=N\"\n";

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
