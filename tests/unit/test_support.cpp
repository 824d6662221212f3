#include "unit/test_support.h"

#include "cli/cli.h"

int run_cli(const std::vector<std::string>& args) {
    std::vector<std::string> storage;
    storage.emplace_back("lumaris_serial_spike");
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : storage) {
        argv.push_back(&s[0]);
    }
    argv.push_back(nullptr);
    return run_main(static_cast<int>(storage.size()), argv.data());
}

PortHandle StepRig::open() {
    ErrorCode code = 99;
    port = open_port("COM5", code);
    return port;
}

FakeLink::ReadResult read_of(const std::string& bytes) {
    FakeLink::ReadResult r;
    r.bytes.assign(bytes.begin(), bytes.end());
    return r;
}

FakeLink::WriteResult failed_write(ErrorCode code) {
    FakeLink::WriteResult w;
    w.ok = false;
    w.code = code;
    return w;
}
