// Command lines that reach another server of the group: the quoting of
// values for a shell (checked against the real /bin/sh), the lines that the
// library composes for its remote search and operation, and the gate's
// decision on the lines that arrive on the receiving server.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gate.h"
#include "shell_words.h"
#include "user_session_internal.h"
#include "vkcxx.h"

namespace {

const std::string kProg = "/opt/KELWvk/lib/vkrcmd";
const std::string kVks = "/opt/KELWvk/sbin/vksession";

// Values a caller, a record or the network could hand us.
const std::vector<std::string> kHostile = {
    "",      "plain.word-1", "two words", "it's",   "'",        "''",
    "$(id)", "`id`",         "a;b",       "a|b&c",  "*",        "~root",
    "a\nb",  "tab\there",    "back\\",    "\"dq\"", "\xc3\xbc", "-oProxyCommand=x",
    "x=y",   "#c",           "{a,b}",     "'\\''",  "2>&1",     "!$",
};

// What /bin/sh makes of `line` when it stands after a printf that prints
// each word in brackets. The line travels in the environment, so that no
// quoting of ours stands between it and the shell that reads it.
std::string shell_words_of(const std::string &line) {
    std::string script = "printf '[%s]' " + line;
    setenv("VK_TEST_SCRIPT", script.c_str(), 1);
    vk::Pipe p("/bin/sh -c 'eval \"$VK_TEST_SCRIPT\"'", "r");
    std::string out;
    int c;
    while ((c = std::fgetc(p.get())) != EOF) out += static_cast<char>(c);
    EXPECT_EQ(p.close(), 0) << line;
    return out;
}

std::string bracketed(const std::vector<std::string> &words) {
    std::string r;
    for (const std::string &w : words) r += "[" + w + "]";
    return r;
}

TEST(ShellWords, EveryValueIsExactlyOneWordForTheShellAndSplitsBack) {
    for (const std::string &w : kHostile) {
        std::string q = vk::shell_word(w);
        EXPECT_EQ(shell_words_of(q), "[" + w + "]") << q;
        auto back = vk::split_shell_words(q);
        ASSERT_TRUE(back) << q;
        EXPECT_EQ(*back, std::vector<std::string>{w}) << q;
    }
    std::string all = vk::shell_words(kHostile);
    EXPECT_EQ(shell_words_of(all), bracketed(kHostile));
    EXPECT_EQ(vk::split_shell_words(all), kHostile);
    // Plain words stay as they are, so ordinary command lines read as before.
    EXPECT_EQ(vk::shell_word("unix.alice"), "unix.alice");
    EXPECT_EQ(vk::shell_word("it's"), "'it'\\''s'");
}

TEST(ShellWords, SplitRefusesWhatAShellWouldActOn) {
    for (const char *line : {"a;b", "a | b", "a && b", "$(id)", "`id`", "a > f", "a < f", "\"dq\"",
                             "*", "x=y", "a\nb", "'open", "end\\", "(a)", "~", "a#b"}) {
        EXPECT_FALSE(vk::split_shell_words(line)) << line;
    }
    EXPECT_EQ(vk::split_shell_words("  a\t 'b c'd\\'e  "),
              (std::vector<std::string>{"a", "b cd'e"}));
    EXPECT_EQ(vk::split_shell_words(""), std::vector<std::string>{});
}

struct SessionFree {
    void operator()(vk_UserSession_t *s) const noexcept { vk_freeUserSessionEnt(s); }
};
using Session = std::unique_ptr<vk_UserSession_t, SessionFree>;

Session record(const char *server, const char *token, const char *raw, const char *login,
               const char *disp) {
    Session s(allocate_userSession());
    s->server = safe_strdup(server);
    s->tokenName = safe_strdup(token);
    s->rawtoken = safe_strdup(raw);
    s->unixID = safe_strdup(login);
    s->dispNo = safe_strdup(disp);
    return s;
}

std::string text(char *owned) {
    vk::CStr c(owned);
    return c ? std::string(c.get()) : std::string("(null)");
}

TEST(RemoteCommand, SearchLines) {
    struct Case {
        const char *filter, *server, *line;
    } cases[] = {
        {nullptr, "h2", "/opt/KELWvk/lib/vkrcmd h2 /opt/KELWvk/sbin/vksession -p -x  2>&1"},
        {"display.3", "h2",
         "/opt/KELWvk/lib/vkrcmd h2 /opt/KELWvk/sbin/vksession -p -x -t display.3 2>&1"},
        {"unix.alice", "PARVIX2.example",
         "/opt/KELWvk/lib/vkrcmd PARVIX2.example /opt/KELWvk/sbin/vksession -p -x -t unix.alice "
         "2>&1"},
        {"", "h2", "/opt/KELWvk/lib/vkrcmd h2 /opt/KELWvk/sbin/vksession -p -x -t '' 2>&1"},
        {"a'b; id", "h2;id",
         "/opt/KELWvk/lib/vkrcmd 'h2;id' /opt/KELWvk/sbin/vksession -p -x -t 'a'\\''b; id' 2>&1"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(text(remote_search_command(c.filter, c.server)), c.line) << c.server;
    EXPECT_EQ(remote_search_command("x", nullptr), nullptr);
}

TEST(RemoteCommand, OperationLinesKeepTheBlanksOfAbsentSelectors) {
    struct Case {
        const char *options;
        Session s;
        const char *tail;  // after "<prog> <server> <vksession> "
    };
    Case cases[] = {
        // Only a display: option and value empty for token and login.
        {"-k -x", record("h2", nullptr, nullptr, nullptr, "3"), "-k -x   -d 3 2>&1"},
        // The token name selects; the raw token is not used beside it.
        {"-s -x", record("h2", "tokA", "rawA", "alice", "5"), "-s -x -t tokA -u alice -d 5 2>&1"},
        {"-r -x", record("h2", nullptr, "rawA", nullptr, nullptr), "-r -x -t rawA   2>&1"},
        {"-k -x", record("h2", nullptr, nullptr, nullptr, nullptr), "-k -x    2>&1"},
        {"-k -x", record("h2", "t$(id)", nullptr, "o'k", "1;2"),
         "-k -x -t 't$(id)' -u 'o'\\''k' -d '1;2' 2>&1"},
    };
    for (Case &c : cases) {
        EXPECT_EQ(text(remote_operation_command(c.options, c.s.get())),
                  kProg + " h2 " + kVks + " " + c.tail);
    }
    Session nowhere = record(nullptr, "t", nullptr, nullptr, "1");
    EXPECT_EQ(remote_operation_command("-k -x", nowhere.get()), nullptr);
    EXPECT_EQ(remote_operation(VK_OPER_TERMINATE, nowhere.get()), VK_ERR_INVALID_ARGS);
    Session s = record("h2", "t", nullptr, nullptr, "1");
    for (int oper : {0, 4, -1}) EXPECT_EQ(remote_operation(oper, s.get()), VK_ERR_INVALID_ARGS);
    EXPECT_EQ(remote_operation(VK_OPER_TERMINATE, nullptr), VK_ERR_INVALID_ARGS);
}

// The composed lines, with the remote-command program replaced by a printf
// of its arguments, give it exactly the intended words, whatever the values.
TEST(RemoteCommand, TheShellHandsTheProgramExactlyTheIntendedWords) {
    for (const std::string &v : kHostile) {
        std::string line = text(remote_search_command(v.c_str(), v.c_str()));
        ASSERT_EQ(line.rfind(kProg, 0), 0u);
        EXPECT_EQ(shell_words_of(line.substr(kProg.size())),
                  bracketed({v, kVks, "-p", "-x", "-t", v}))
            << line;

        Session s = record(v.c_str(), v.c_str(), nullptr, v.c_str(), v.c_str());
        line = text(remote_operation_command("-k -x", s.get()));
        EXPECT_EQ(shell_words_of(line.substr(kProg.size())),
                  bracketed({v, kVks, "-k", "-x", "-t", v, "-u", v, "-d", v}))
            << line;
    }
    // Long values are never cut: the buffer follows the quoted length.
    std::string quotes(3000, '\'');
    std::string line = text(remote_search_command(quotes.c_str(), "h"));
    EXPECT_EQ(shell_words_of(line.substr(kProg.size())),
              bracketed({"h", kVks, "-p", "-x", "-t", quotes}));
}

TEST(Gate, AllowsVksessionInMachineModeOnly) {
    struct Case {
        const char *line;
        bool allowed, merge;
        std::vector<std::string> argv;
    } allowed[] = {
        {"/opt/KELWvk/sbin/vksession -p -x 2>&1", true, true, {kVks, "-p", "-x"}},
        {"/opt/KELWvk/sbin/vksession -p -x -t 'a b'\\''c;$(id)' 2>&1",
         true,
         true,
         {kVks, "-p", "-x", "-t", "a b'c;$(id)"}},
        {"/opt/KELWvk/sbin/vksession -k -x -t tok -u alice -d 3",
         true,
         false,
         {kVks, "-k", "-x", "-t", "tok", "-u", "alice", "-d", "3"}},
        // A value that looks like an option is still the option's value.
        {"/opt/KELWvk/sbin/vksession -x -r -a -t -h 2>&1 ",
         true,
         true,
         {kVks, "-x", "-r", "-a", "-t", "-h"}},
        {"'/opt/KELWvk/sbin/vksession' '-l' '-x' '-n' 'Ann Smith'",
         true,
         false,
         {kVks, "-l", "-x", "-n", "Ann Smith"}},
    };
    for (const Case &c : allowed) {
        vksrv::GateDecision d = vksrv::gate_decide(c.line);
        EXPECT_TRUE(d.allowed) << c.line << ": " << d.why;
        EXPECT_EQ(d.merge, c.merge) << c.line;
        EXPECT_EQ(d.argv, c.argv) << c.line;
    }
}

TEST(Gate, RefusesEverythingElse) {
    const std::string long_line = kVks + " -p -x -t " + std::string(5000, 'a');
    for (const std::string &line :
         std::vector<std::string>{"",
                                  "2>&1",
                                  "/bin/sh -c id",
                                  "vksession -p -x",
                                  "/opt/KELWvk/sbin/vksession",
                                  "/opt/KELWvk/sbin/vksession -p",
                                  "/opt/KELWvk/sbin/vksession -h -x",
                                  "/opt/KELWvk/sbin/vksession -p -k -x",
                                  "/opt/KELWvk/sbin/vksession -px",
                                  "/opt/KELWvk/sbin/vksession -p -x -talice",
                                  "/opt/KELWvk/sbin/vksession -p -x -t",
                                  "/opt/KELWvk/sbin/vksession -p -x extra",
                                  "/opt/KELWvk/sbin/vksession -p -x; touch /tmp/p",
                                  "/opt/KELWvk/sbin/vksession -p -x $(touch /tmp/p)",
                                  "/opt/KELWvk/sbin/vksession -p -x 2>/tmp/p",
                                  "/opt/KELWvk/sbin/vksession -p -x 2>&1; id",
                                  "/opt/KELWvk/sbin/vksession -p -x | id",
                                  "/opt/KELWvk/sbin/vksession -p -x\nid",
                                  "/opt/KELWvk/sbin/../sbin/vksession -p -x",
                                  long_line}) {
        vksrv::GateDecision d = vksrv::gate_decide(line);
        EXPECT_FALSE(d.allowed) << line;
        EXPECT_FALSE(d.why.empty()) << line;
        EXPECT_TRUE(d.argv.empty()) << line;
    }
}

}  // namespace
