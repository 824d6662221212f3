#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/console.h"
#include "common/device_text.h"
#include "probe/attempts.h"
#include "probe/probe.h"
#include "protocol/messages.h"

namespace {

using Json = nlohmann::json;

// A real reply is 1-3 KB, about 0.3 s at 115200 baud: a controller that
// answers is done well inside the first attempt. A silent one is given 3 s;
// one that restarted (its boot text came) 10 s from the start, enough for a
// board that boots for several seconds.
constexpr MonoNs kStateWaitNs = 3 * kAttemptNs;
constexpr MonoNs kStateWaitAfterTextNs = 10 * kAttemptNs;
constexpr std::uint32_t kReplyLimit = 16384;

// The keys a check may name, in the order the OK line prints them.
const char* const kStateKeys[] = {"on", "bri", "live", "leds", "ver", "name"};
constexpr std::size_t kKeyCount = sizeof kStateKeys / sizeof kStateKeys[0];
// ver and name are text: printed in quotes, compared without them.
bool is_text_key(std::size_t key) { return key >= 4; }

bool is_json_line(const std::uint8_t* line, std::uint32_t count) { return count > 0 && line[0] == '{'; }

// Where a reply stopped being JSON. The parser reports how many bytes it had
// read: up to the byte its lexer could not take, or to the end of a whole
// token its grammar could not take, or one past the end when the input ended
// first. Every event is accepted; only the error counts.
struct ErrorPosition : nlohmann::json_sax<Json> {
    std::size_t position = 0;
    bool in_token = false;  // a lexer error: the position is the bad byte itself
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t at, const std::string&, const nlohmann::detail::exception& e) override {
        position = at;
        // The lexer's messages, and only they, quote what it last read.
        in_token = std::strstr(e.what(), "; last read: ") != nullptr;
        return false;
    }
};

bool is_json_space(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_json_mark(std::uint8_t c) { return c != 0 && std::strchr("{}[]:,", c) != nullptr; }

// The start of the token whose last byte is at `last` in text the lexer took
// whole up to there: strings from quote to quote, a structural character, or
// a run of anything else (numbers, literals).
std::size_t token_start(const std::uint8_t* text, std::size_t last) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= last;) {
        start = i;
        if (is_json_space(text[i]) || is_json_mark(text[i])) {
            ++i;
        } else if (text[i] == '"') {
            for (++i; i <= last && text[i] != '"'; ++i) {
                i += text[i] == '\\' ? 1 : 0;
            }
            ++i;
        } else {
            while (i <= last && !is_json_space(text[i]) && !is_json_mark(text[i]) && text[i] != '"') {
                ++i;
            }
        }
    }
    return start;
}

// The UTF-16 unit of a `\uXXXX` escape at `at`, or -1.
long escaped_unit(const std::vector<std::uint8_t>& text, std::size_t at) {
    if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') {
        return -1;
    }
    long unit = 0;
    for (std::size_t i = at + 2; i < at + 6; ++i) {
        const int c = std::tolower(text[i]);
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) {
            return -1;
        }
        unit = unit * 16 + digit;
    }
    return unit;
}

// JSON's grammar allows an escaped surrogate without its other half, which
// stands for no character, and the parser refuses it. Each becomes `\u001a`,
// the same six bytes (positions stay true) decoding to a control character,
// which the device text rule prints as `?`.
void replace_lone_surrogates(std::vector<std::uint8_t>& text) {
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') {
            in_string = !in_string;
        } else if (in_string && text[i] == '\\') {
            const long unit = escaped_unit(text, i);
            const bool high = unit >= 0xD800 && unit <= 0xDBFF;
            const long next = high ? escaped_unit(text, i + 6) : -1;
            if (high && next >= 0xDC00 && next <= 0xDFFF) {
                i += 11;  // a pair
            } else if (unit >= 0xD800 && unit <= 0xDFFF) {
                std::memcpy(&text[i], "\\u001a", 6);
                i += 5;
            } else {
                ++i;  // the escaped character
            }
        }
    }
}

// The member `inner` of the member `outer` of an object, or nullptr. Only
// find() and the type tests are used: they never throw.
const Json* member(const Json& doc, const char* outer, const char* inner) {
    const auto o = doc.find(outer);
    if (o == doc.end() || !o->is_object()) {
        return nullptr;
    }
    const auto i = o->find(inner);
    return i == o->end() ? nullptr : &*i;
}

bool has_object(const Json& doc, const char* key) {
    const auto o = doc.find(key);
    return o != doc.end() && o->is_object();
}

std::string bool_field(const Json* value) {
    if (value == nullptr || !value->is_boolean()) {
        return "unknown";
    }
    return *value->get_ptr<const Json::boolean_t*>() ? "true" : "false";
}

std::string integer_field(const Json* value) {
    if (value != nullptr && value->is_number_unsigned()) {
        return std::to_string(*value->get_ptr<const Json::number_unsigned_t*>());
    }
    if (value != nullptr && value->is_number_integer()) {
        return std::to_string(*value->get_ptr<const Json::number_integer_t*>());
    }
    // 1e2 and 12.0 are whole numbers too. Past 2^53 a double no longer holds
    // every whole number, so which one was sent is not known.
    if (value != nullptr && value->is_number_float()) {
        const double number = *value->get_ptr<const Json::number_float_t*>();
        if (std::fabs(number) <= 9007199254740992.0 && number == std::floor(number)) {
            return std::to_string(static_cast<long long>(number));
        }
    }
    return "unknown";
}

// Text through the device text rule: quoted (without the quotes, which the
// caller adds) or bare.
std::string device_text(const std::string& text, TextForm form = TextForm::quoted) {
    std::vector<char> out(text.size() + 3);
    const std::size_t n = put_device_text(text.data(), text.size(), form, out.data(), out.size());
    return form == TextForm::quoted ? std::string(out.data() + 1, n - 2) : std::string(out.data(), n);
}

const Json* leds_count(const Json& doc) {
    const Json* leds = member(doc, "info", "leds");
    if (leds == nullptr || !leds->is_object()) {
        return nullptr;
    }
    const auto count = leds->find("count");
    return count == leds->end() ? nullptr : &*count;
}

// One reported value: as the OK line prints it, and as a check compares it
// (text as the controller sent it, after JSON decoding).
struct Field {
    std::string printed;
    std::string compared;
    bool known;
};

Field token_field(const std::string& token) { return {token, token, token != "unknown"}; }

Field text_field(const Json* value) {
    if (value == nullptr || !value->is_string()) {
        return {"unknown", "", false};
    }
    const std::string& text = *value->get_ptr<const Json::string_t*>();
    return {"\"" + device_text(text) + "\"", text, true};
}

ExitStatus report_state(const Json& doc, const StateCheck* checks, std::size_t check_count) {
    // In kStateKeys order.
    const Field fields[kKeyCount] = {
        token_field(bool_field(member(doc, "state", "on"))),
        token_field(integer_field(member(doc, "state", "bri"))),
        token_field(bool_field(member(doc, "info", "live"))),
        token_field(integer_field(leds_count(doc))),
        text_field(member(doc, "info", "ver")),
        text_field(member(doc, "info", "name")),
    };
    std::string line = "OK state";
    for (std::size_t key = 0; key < kKeyCount; ++key) {
        line += std::string(" ") + kStateKeys[key] + "=" + fields[key].printed;
    }
    print_out("%s\n", line.c_str());
    ExitStatus status = kExitPass;
    for (std::size_t i = 0; i < check_count; ++i) {
        const Field& field = fields[checks[i].key];
        if (field.known && field.compared == checks[i].value) {
            continue;
        }
        // What the script expected is outside text too.
        const std::string expected = checks[i].value;
        const std::string shown = is_text_key(checks[i].key) ? "\"" + device_text(expected) + "\""
                                                             : device_text(expected, TextForm::bare);
        // Two values that differ only where the rule prints `?` or `'` look alike.
        const char* hidden = field.known && shown == field.printed ? " hidden-difference" : "";
        print_out("FAIL state key=%s expected=%s reported=%s%s\n", kStateKeys[checks[i].key], shown.c_str(),
                  field.printed.c_str(), hidden);
        status = kExitFail;
    }
    return status;
}

ExitStatus judge_reply(const std::uint8_t* reply, std::uint32_t count, LineEnd end, const StateCheck* checks,
                       std::size_t check_count) {
    if (end == LineEnd::full) {
        print_out("FAIL state reply=too-long bytes=%lu\n", static_cast<unsigned long>(count));
        return kExitFail;
    }
    // The line end is not part of the JSON: a reply cut before its end is cut,
    // however it ended.
    std::uint32_t text = count;
    while (text > 0 && (reply[text - 1] == '\n' || reply[text - 1] == '\r')) {
        --text;
    }
    std::vector<std::uint8_t> json(reply, reply + text);
    replace_lone_surrogates(json);
    const Json doc = Json::parse(json.begin(), json.end(), nullptr, false);
    if (doc.is_discarded()) {
        ErrorPosition error;
        Json::sax_parse(json.begin(), json.end(), &error);
        if (error.position > text) {
            print_out("FAIL state reply=cut bytes=%lu\n", static_cast<unsigned long>(count));
        } else {
            // 1-based: the bad byte, or the first byte of the token that does not fit.
            const std::size_t last = error.position > 0 ? error.position - 1 : 0;
            const std::size_t at = 1 + (error.in_token ? last : token_start(json.data(), last));
            print_out("FAIL state reply=not-json at=%lu bytes=%lu\n", static_cast<unsigned long>(at),
                      static_cast<unsigned long>(count));
        }
        return kExitFail;
    }
    // The line began with '{': what parsed is an object.
    const auto error = doc.find("error");
    if (error != doc.end()) {
        const std::string number = integer_field(&*error);
        print_out("FAIL state reply=error error=%s\n", number.c_str());
        if (number == "3") {
            print_out("NOTE: error 3: the controller had no buffer free; try again.\n");
        }
        return kExitFail;
    }
    if (!has_object(doc, "state") && !has_object(doc, "info")) {
        print_out("FAIL state reply=no-state\n");
        return kExitFail;
    }
    return report_state(doc, checks, check_count);
}

}  // namespace

std::string reported_led_count(const std::uint8_t* reply, std::uint32_t count) {
    const Json doc = Json::parse(reply, reply + count, nullptr, false);
    return doc.is_object() ? integer_field(leds_count(doc)) : "unknown";
}

bool parse_state_check(const char* arg, StateCheck& out) {
    const char* eq = std::strchr(arg, '=');
    if (eq == nullptr) {
        return false;
    }
    for (std::size_t key = 0; key < kKeyCount; ++key) {
        const std::size_t n = std::strlen(kStateKeys[key]);
        if (static_cast<std::size_t>(eq - arg) == n && std::strncmp(arg, kStateKeys[key], n) == 0) {
            out.key = key;
            out.value = eq + 1;
            return true;
        }
    }
    return false;
}

void run_state_query(const char* port_name, const char* chip, bool keep_open, std::vector<std::uint8_t>& line,
                     AttemptOutcome& out) {
    line.assign(kReplyLimit + 1, 0);
    AttemptPlan plan = {as_bytes(kStateQuery), kStateQueryLen, line.data(),           kReplyLimit,
                        is_json_line,          kStateWaitNs,   kStateWaitAfterTextNs, false};
    plan.raise_dtr = chip != nullptr;
    plan.keep_open = keep_open;
    run_attempts(port_name, plan, out);
}

ExitStatus probe_state(const char* port_name, const StateCheck* checks, std::size_t check_count,
                       const char* (*native_usb_chip)(const char* port_name)) {
    std::vector<std::uint8_t> line;
    const char* chip = native_chip_of(port_name, native_usb_chip);
    AttemptOutcome out;
    run_state_query(port_name, chip, false, line, out);
    if (out.open_refused || (!out.found && out.last == Obstacle::open)) {
        print_err("ERR open %s code=%lu\n", port_name, as_ulong(out.last_code));
        return kExitFail;
    }
    ExitStatus status = kExitFail;
    if (out.found) {
        status = judge_reply(line.data(), out.count, out.end, checks, check_count);
    } else if (out.bytes > 0) {
        print_out("FAIL state reply=no-json bytes=%lu waited_ms=%d\n", static_cast<unsigned long>(out.bytes),
                  elapsed_ms(out.start));
        print_dtr_note(port_name, chip, out.dtr, out.dtr_code);
        return kExitFail;
    } else if (out.last == Obstacle::write) {
        print_out("FAIL state write code=%lu\n", as_ulong(out.last_code));
    } else {
        print_out("FAIL state reply=none waited_ms=%d\n", elapsed_ms(out.start));
    }
    print_other_text_note(out.other_bytes);
    print_dtr_note(port_name, chip, out.dtr, out.dtr_code);
    return status;
}
