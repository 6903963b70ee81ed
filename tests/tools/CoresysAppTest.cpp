// coresys app: an application manager driven line by line on the example device, next to
// "coresys nm" listeners of "CCMEvent" and "NVMgrAction" and "coresys nm send".
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "ToolsTestSupport.h"

namespace {

using namespace ToolsTest;
using nlohmann::json;

const std::string kExample = std::string(CORESYSTEM_SOURCE_DIR) + "/docs/examples/radio.json";

int Coresys(const std::vector<std::string>& args) {
    return RunCoresys(args).status;
}

/// `coresys app` reading its commands from a FIFO the test writes to.
class App {
public:
    App(const CoreSystemTest::IsolatedHost& host, const std::string& args) {
        const std::string fifo = host.root() + "/app-input";
        EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        program_ = std::make_unique<Program>("/bin/sh", std::vector<std::string>{"-c", "exec " + kCoresys + " app " + args + " < " + fifo});
        input_ = open(fifo.c_str(), O_WRONLY);  // returns once the shell opened its end
    }
    ~App() {
        if (input_ >= 0) close(input_);
    }
    /// The next answer line (waits at most 10 s; {} when none came).
    json next() {
        if (!CoreSystemTest::Eventually([&] {
                program_->printed("");
                return program_->output().find('\n', read_) != std::string::npos;
            }))
            return {};
        const std::size_t end = program_->output().find('\n', read_);
        const std::string line = program_->output().substr(read_, end - read_);
        read_ = end + 1;
        return json::parse(line);
    }
    json ask(const std::string& line) {
        const std::string text = line + "\n";
        EXPECT_EQ(write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        return next();
    }
    Program& program() { return *program_; }

private:
    std::unique_ptr<Program> program_;
    int input_ = -1;
    std::size_t read_ = 0;
};

TEST(CoresysApp, DrivesAnApplicationByLocalNumbers) {
    CoreSystemTest::IsolatedHost host;
    const std::string image = host.root() + "/radio.img";
    ASSERT_EQ(Coresys({"conf", "build", kExample, "-o", image}), 0);
    ASSERT_EQ(Coresys({"conf", "load", image}), 0);
    ASSERT_EQ(Coresys({"nm", "create"}), 0);
    ASSERT_EQ(Coresys({"db", "create", kExample}), 0);
    auto events = Listen(host, "CCMEvent", {});
    auto nvmgr = Listen(host, "NVMgrAction", {});

    App radio(host, "Radio");
    const json ready = radio.next();
    ASSERT_EQ(ready.value("ready", false), true) << radio.program().finish().err;
    const int key = ready.at("key");
    EXPECT_EQ(radio.ask("key"), (json{{"ok", true}, {"key", key}}));

    ASSERT_EQ(Coresys({"nm", "send", "RadioAction", "8d2300002a000000", "01", "9210000000"}), 0);  // 9101, short, 4242
    EXPECT_EQ(radio.ask("receive 5000"), (json{{"ok", true}, {"id", 1}, {"channelIndex", key}, {"payload", "2a000000"}}));
    EXPECT_EQ(radio.ask("receive 5000"), (json{{"ok", true}, {"id", 4242}, {"channelIndex", key}, {"payload", "00"}}));
    EXPECT_EQ(radio.ask("receive 10"), (json{{"ok", true}, {"none", true}}));
    EXPECT_EQ(radio.ask("send-self 9100 ff").at("ok"), true);
    EXPECT_EQ(radio.ask("receive 5000").at("id"), 0);

    EXPECT_EQ(radio.ask("post-event 0 0700").at("ok"), true);
    EXPECT_EQ(radio.ask("post-event 4").at("error"), "no local event 4");
    EXPECT_EQ(radio.ask("set-vars 5=6.5 99=1 7=258"),
              (json{{"ok", true}, {"ids", {1, 2}}, {"values", {6.0, 2.0}}}));
    EXPECT_EQ(radio.ask("var-text 7"), (json{{"ok", true}, {"text", ""}}));  // the value 2 selects none
    EXPECT_EQ(radio.ask("set-string 0 \"Laut und leise\"").at("ok"), true);
    EXPECT_EQ(radio.ask("string-text 0 0"), (json{{"ok", true}, {"text", "Laut und leise"}}));
    EXPECT_EQ(radio.ask("nvmgr 2").at("ok"), true);
    EXPECT_EQ(radio.ask("nvmgr 6 0x10").at("ok"), true);
    EXPECT_EQ(radio.ask("nvmgr 6").at("ok"), false);
    EXPECT_EQ(radio.ask("volume up").at("error"), "unknown command 'volume' (see coresys app --help)");
    EXPECT_EQ(radio.ask("quit"), (json{{"ok", true}}));
    EXPECT_EQ(radio.program().finish().status, 0);

    // The event in its message (801 with the payload), the variables' events, the strings' event.
    EXPECT_TRUE(CoreSystemTest::Eventually([&] { return events->printed("21030000" "0700\n"); })) << events->output();
    EXPECT_TRUE(CoreSystemTest::Eventually([&] { return nvmgr->printed("f223000000000000\n"); })) << nvmgr->output();
    EXPECT_TRUE(nvmgr->printed("f623000010000000\n")) << nvmgr->output();
}

TEST(CoresysApp, RefusesToStartWithoutTheDevicesSharedData) {
    CoreSystemTest::IsolatedHost host;
    const auto outcome = RunCoresys({"app", "Radio"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("coresys: no notification registry"), std::string::npos) << outcome.err;
}

}  // namespace
