// Command lines that reach another server of the group: the quoting of
// values for a shell (checked against the real /bin/sh), the lines that the
// library composes, and the gate's decision on the lines that arrive on the
// receiving server.
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

// Side by side, so that a value quoted short or long would run into its
// neighbours.
TEST(ShellWords, EveryValueIsExactlyOneWordForTheShellAndSplitsBack) {
    std::string all = vk::shell_words(kHostile);
    EXPECT_EQ(shell_words_of(all), bracketed(kHostile));
    EXPECT_EQ(vk::split_shell_words(all), kHostile);
    // Plain words stay as they are, so ordinary command lines read as before.
    EXPECT_EQ(vk::shell_word("unix.alice"), "unix.alice");
    EXPECT_EQ(vk::shell_word("it's"), "'it'\\''s'");
}

// Which words the composed lines give the program is checked end to end
// for a few hostile values (test_failover.py); here, that the line's buffer
// follows the quoted length, and the refusals.
TEST(RemoteCommand, LongValuesAreNeverCutAndBadRequestsRefused) {
    const std::string quotes(3000, '\'');
    vk::CStr line(remote_search_command(quotes.c_str(), "h"));
    ASSERT_TRUE(line && std::string(line.get()).rfind(kProg, 0) == 0);
    EXPECT_EQ(shell_words_of(line.get() + kProg.size()),
              bracketed({"h", kVks, "-p", "-x", "-t", quotes}));
    EXPECT_EQ(remote_search_command("x", nullptr), nullptr);
    vk_UserSession_t *s = allocate_userSession();
    s->dispNo = safe_strdup("1");
    EXPECT_EQ(remote_operation_command("-k -x", s), nullptr);  // no server
    EXPECT_EQ(remote_operation(VK_OPER_TERMINATE, s), VK_ERR_INVALID_ARGS);
    s->server = safe_strdup("h2");
    for (int oper : {0, 4, -1}) EXPECT_EQ(remote_operation(oper, s), VK_ERR_INVALID_ARGS);
    EXPECT_EQ(remote_operation(VK_OPER_TERMINATE, nullptr), VK_ERR_INVALID_ARGS);
    vk_freeUserSessionEnt(s);
}

TEST(Gate, AllowsVksessionInMachineModeOnly) {
    // The words after the program, bracketed; "2>&1" at the end merges the
    // standard error into the output.
    const char *cases[][2] = {
        {"/opt/KELWvk/sbin/vksession -p -x -t 'a b'\\''c;$(id)' 2>&1",
         "[-p][-x][-t][a b'c;$(id)] merged"},
        {"/opt/KELWvk/sbin/vksession -k -x -t tok -u alice -d 3",
         "[-k][-x][-t][tok][-u][alice][-d][3]"},
        // A value that looks like an option is still the option's value.
        {"/opt/KELWvk/sbin/vksession -x -r -a -t -h 2>&1 ", "[-x][-r][-a][-t][-h] merged"},
        {"'/opt/KELWvk/sbin/vksession' '-l' '-x' '-n' 'Ann Smith'", "[-l][-x][-n][Ann Smith]"},
    };
    for (auto &c : cases) {
        vksrv::GateDecision d = vksrv::gate_decide(c[0]);
        EXPECT_TRUE(d.allowed) << c[0] << ": " << d.why;
        ASSERT_FALSE(d.argv.empty()) << c[0];
        EXPECT_EQ(d.argv[0], kVks);
        d.argv.erase(d.argv.begin());
        EXPECT_EQ(bracketed(d.argv) + (d.merge ? " merged" : ""), c[1]);
    }
}

// The gate splits with split_shell_words: its refusals are that
// function's too.
TEST(Gate, RefusesEverythingElse) {
    auto refused = [](const std::string &line) {
        vksrv::GateDecision d = vksrv::gate_decide(line);
        EXPECT_FALSE(d.allowed) << line;
        EXPECT_FALSE(d.why.empty()) << line;
        EXPECT_TRUE(d.argv.empty()) << line;
    };
    for (const char *line : {"", "2>&1", "/bin/sh -c id", "vksession -p -x",
                             "/opt/KELWvk/sbin/../sbin/vksession -p -x"})
        refused(line);
    // The program itself, with what it may not be given.
    for (const char *rest :
         {"", " -p", " -h -x", " -p -k -x", " -px", " -p -x -talice", " -p -x -t", " -p -x extra",
          " -p -x; touch /tmp/p", " -p -x $(touch /tmp/p)", " -p -x 2>/tmp/p", " -p -x 2>&1; id",
          " -p -x | id", " -p -x\nid", " -p -x -t 'open", " -p -x -t end\\", " -p -x -t a#b",
          " -p -x -t (a)"})
        refused(kVks + rest);
    refused(kVks + " -p -x -t " + std::string(5000, 'a'));
    // vkgroup only for its dry run of the limits, word for word: never
    // --enforce, never a group-wide run that would ask further servers.
    const std::string vkg = "/opt/KELWvk/sbin/vkgroup";
    for (const char *rest :
         {"", " limits", " limits --enforce", " limits -x parvix2", " limits -j", " list -x",
          " limits -x -x", " limits -x; id", " terminate -a -u ann", " metrics -o /etc/passwd"})
        refused(vkg + rest);
    vksrv::GateDecision d = vksrv::gate_decide(vkg + " limits -x 2>&1");
    EXPECT_TRUE(d.allowed && d.merge);
    EXPECT_EQ(d.argv, (std::vector<std::string>{vkg, "limits", "-x"}));
    // A notice: one display and base64 of at most 64 KiB, nothing else.
    const std::string largest(vksrv::kMaxNoticeWord, 'Q'), notice = vkg + " notify -x -d 12 ";
    d = vksrv::gate_decide(notice + largest + " 2>&1");
    EXPECT_TRUE(d.allowed) << d.why;
    EXPECT_EQ(d.argv.size(), 6u);
    EXPECT_TRUE(vksrv::gate_decide(notice + "'aGk='").allowed);
    refused(notice + largest + "QQQQ");
    for (const char *word : {"aGk", "'a=Gk'", "'aG==='", "'a b='", "aGk= aGk=", "$(id)"})
        refused(notice + word);
    for (const char *rest : {" notify -x -d :12 'aGk='",
                             " notify -x -d 12345 aGk=", " notify -d 12 aGk=", " notify -a -u ann"})
        refused(vkg + rest);
    // Only a notice may be long.
    EXPECT_FALSE(vksrv::gate_decide(vkg + " limits -x " + std::string(5000, ' ')).allowed);
}

}  // namespace
