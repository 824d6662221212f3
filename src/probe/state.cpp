#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/clock.h"
#include "common/console.h"
#include "link/link.h"
#include "probe/probe.h"
#include "protocol/messages.h"

namespace {

using Json = nlohmann::json;

// A real reply is 1-3 KB, about 0.3 s at 115200 baud.
constexpr MonoNs kReplyWindowNs = 3000 * kNsPerMs;
constexpr std::uint32_t kReplyLimit = 16384;
constexpr std::uint32_t kIdlePauseMs = 50;

// Finds where a reply stopped being JSON: the parser reports the position of
// the byte it could not take. Every event is accepted; only the error counts.
struct ErrorPosition : nlohmann::json_sax<Json> {
    std::size_t position = 0;
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
    bool parse_error(std::size_t at, const std::string&, const nlohmann::detail::exception&) override {
        position = at;
        return false;
    }
};

// The member `inner` of the member `outer` of an object, or nullptr. Only
// find() and the type tests are used: they never throw.
const Json* member(const Json& doc, const char* outer, const char* inner) {
    if (!doc.is_object()) {
        return nullptr;
    }
    const auto o = doc.find(outer);
    if (o == doc.end() || !o->is_object()) {
        return nullptr;
    }
    const auto i = o->find(inner);
    return i == o->end() ? nullptr : &*i;
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
    return "unknown";
}

std::string text_field(const Json* value) {
    if (value == nullptr || !value->is_string()) {
        return "unknown";
    }
    return "\"" + *value->get_ptr<const Json::string_t*>() + "\"";
}

const Json* leds_count(const Json& doc) {
    const Json* leds = member(doc, "info", "leds");
    if (leds == nullptr || !leds->is_object()) {
        return nullptr;
    }
    const auto count = leds->find("count");
    return count == leds->end() ? nullptr : &*count;
}

ExitStatus judge_state(const std::uint8_t* reply, std::uint32_t count) {
    const Json doc = Json::parse(reply, reply + count, nullptr, false);
    if (doc.is_discarded()) {
        ErrorPosition error;
        Json::sax_parse(reply, reply + count, &error);
        print_out("FAIL state reply=not-json at=%lu bytes=%lu\n", static_cast<unsigned long>(error.position),
                  static_cast<unsigned long>(count));
        return kExitFail;
    }
    if (doc.is_object()) {
        const auto error = doc.find("error");
        if (error != doc.end()) {
            const std::string number = integer_field(&*error);
            print_out("FAIL state reply=error error=%s\n", number.c_str());
            if (number == "3") {
                print_out("NOTE: error 3: the controller had no buffer free; try again.\n");
            }
            return kExitFail;
        }
    }
    const std::string line =
        "OK state on=" + bool_field(member(doc, "state", "on")) +
        " bri=" + integer_field(member(doc, "state", "bri")) +
        " live=" + bool_field(member(doc, "info", "live")) + " leds=" + integer_field(leds_count(doc)) +
        " ver=" + text_field(member(doc, "info", "ver")) + " name=" + text_field(member(doc, "info", "name"));
    print_out("%s\n", line.c_str());
    return kExitPass;
}

ExitStatus query_state(PortHandle port) {
    ErrorCode code = 0;
    if (!write_timed(port, as_bytes(kStateQuery), kStateQueryLen, code)) {
        print_out("FAIL state write code=%lu\n", as_ulong(code));
        return kExitFail;
    }

    std::vector<std::uint8_t> reply(kReplyLimit);
    std::uint32_t received = 0;
    bool line_ended = false;
    const MonoNs start = mono_now_ns();
    const MonoNs deadline = start + kReplyWindowNs;
    while (!line_ended && received < kReplyLimit && !deadline_passed(mono_now_ns(), deadline)) {
        const std::uint32_t room = kReplyLimit - received;
        std::uint32_t n = read_timed(port, reply.data() + received, room);
        if (n > room) {
            n = room;
        }
        // The reply is one line: whatever follows its LF is not part of it.
        for (std::uint32_t i = 0; i < n && !line_ended; ++i) {
            line_ended = reply[received + i] == '\n';
            if (line_ended) {
                n = i + 1;
            }
        }
        received += n;
        const MonoNs now = mono_now_ns();
        if (n == 0 && !deadline_passed(now, deadline)) {
            const MonoNs left_ms = (deadline - now + kNsPerMs - 1) / kNsPerMs;
            sleep_ms(left_ms < kIdlePauseMs ? static_cast<std::uint32_t>(left_ms) : kIdlePauseMs);
        }
    }

    if (received == 0) {
        print_out("FAIL state reply=none waited_ms=%d\n",
                  static_cast<int>((mono_now_ns() - start) / kNsPerMs));
        return kExitFail;
    }
    if (!line_ended && received == kReplyLimit) {
        print_out("FAIL state reply=too-long bytes=%lu\n", static_cast<unsigned long>(received));
        return kExitFail;
    }
    return judge_state(reply.data(), received);
}

}  // namespace

ExitStatus probe_state(const char* port_name) {
    ErrorCode code = 0;
    const PortHandle port = open_port(port_name, code);
    if (!port_is_open(port)) {
        print_err("ERR open %s code=%lu\n", port_name, as_ulong(code));
        return kExitFail;
    }
    const ExitStatus status = query_state(port);
    close_port(port);
    return status;
}
