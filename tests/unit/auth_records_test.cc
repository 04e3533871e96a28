// The authentication manager's status records: one record text into one
// node of a sorted list, the short token id, and the arguments the host
// probe answers without starting anything.
#include <cerrno>
#include <ostream>
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vkadmin.h"

namespace {

// The filter the status query builds for the keys that session state asks for.
constexpr const char *kKeys =
    "~terminalCID~terminalId~tokenName~firmware~encryptUpType~securityMode~"
    "MultiheadTerminalIndex~MultiheadGroupName~MultiheadPrimary~LocalName~annotation.x_token~";

using Text = char *vk_KeyValuesNode_t::*;
const struct {
    const char *name;
    Text field;
} kShown[] = {
    {"enc", &vk_KeyValuesNode_t::enc_up_type},    {"mode", &vk_KeyValuesNode_t::security_mode},
    {"group", &vk_KeyValuesNode_t::MHgroup_name}, {"local", &vk_KeyValuesNode_t::local_name},
    {"firmware", &vk_KeyValuesNode_t::firmware},
};

// "terminal/token" and the other fields that are set, per node, "|" between nodes.
std::string describe(const vk_KeyValuesNode_t *n) {
    std::string r;
    for (; n; n = n->next) {
        if (!r.empty()) r += " | ";
        r += std::string(n->terminal_CID) + "/" + n->token_name;
        for (auto &f : kShown)
            if (n->*f.field) r += std::string(" ") + f.name + "=" + n->*f.field;
        if (n->MHterm_index != ~0u) r += " index=" + std::to_string(n->MHterm_index);
        if (n->flag) r += " flag=" + std::to_string(n->flag);
    }
    return r;
}

std::string parse(const std::vector<std::string> &records, int sort = VK_SORT_BY_TOKEN,
                  const char *keys = kKeys, const char *terminals = nullptr) {
    vk_KeyValuesNode_t *list = nullptr;
    for (const std::string &text : records)
        EXPECT_EQ(parse_record(&list, text.c_str(), sort, keys, terminals), 0);
    std::string r = describe(list);
    vk_free_KeyValuesNode_list(list);
    return r;
}

struct RecordCase {
    const char *what;
    const char *text;
    int sort;
    const char *expect;  // "" when the record is dropped
    const char *keys = kKeys;
};

void PrintTo(const RecordCase &c, std::ostream *os) {
    *os << c.what;
}

class OneRecord : public testing::TestWithParam<RecordCase> {};

TEST_P(OneRecord, Parses) {
    const RecordCase &c = GetParam();
    EXPECT_EQ(parse({c.text}, c.sort, c.keys), c.expect);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OneRecord,
    testing::Values(
        RecordCase{"terminalCID wins when it comes last",
                   "terminalId=id1\nterminalCID=cid1\ntokenName=a", 2, "cid1/a"},
        RecordCase{"terminalCID wins when it comes first",
                   "terminalCID=cid1\nterminalId=id1\ntokenName=a", 2, "cid1/a"},
        RecordCase{"terminalId alone", "terminalId=id1\ntokenName=a\n", 2, "id1/a"},
        RecordCase{"a later terminalCID replaces one before",
                   "terminalCID=c1\ntokenName=a\nterminalCID=c2", 2, "c2/a"},
        RecordCase{"no tokenName", "terminalCID=t1\nencryptUpType=x", 2, ""},
        RecordCase{"no terminal id", "tokenName=a\nencryptUpType=x", 2, ""},
        RecordCase{"the filter is case-sensitive", "terminalCID=t1\nTokenName=a", 2, ""},
        RecordCase{"the key table is not", "terminalCID=t1\nTokenName=a", 2, "t1/a",
                   "~terminalCID~TokenName~"},
        RecordCase{"a key outside the filter", "terminalCID=t1\ntokenName=a\nencryptDownType=x", 2,
                   "t1/a"},
        RecordCase{"MultiheadPrimary FALSE", "terminalCID=t\ntokenName=a\nMultiheadPrimary=FALSE",
                   2, "t/a"},
        RecordCase{"MultiheadPrimary false", "terminalCID=t\ntokenName=a\nMultiheadPrimary=false",
                   2, "t/a flag=1"},
        RecordCase{"an index", "terminalCID=t\ntokenName=a\nMultiheadTerminalIndex=63", 2,
                   "t/a index=63"},
        RecordCase{"an index that is no number",
                   "terminalCID=t\ntokenName=a\nMultiheadTerminalIndex=x", 2, "t/a index=0"},
        RecordCase{"a value holding =", "terminalCID=t\ntokenName=a\nencryptUpType=k=v=w", 2,
                   "t/a enc=k=v=w"},
        RecordCase{"blanks around key and value", " \tterminalCID \t= t 1\t\n  tokenName=  a  \n",
                   2, "t 1/a"},
        RecordCase{"comment, empty value, no =, one character",
                   "terminalCID=t\ntokenName=a\n#encryptUpType=x\nsecurityMode=\n"
                   "firmware= \t\ngarbage\nx\n=v",
                   2, "t/a"},
        RecordCase{"an empty tokenName is no token", "terminalCID=t\ntokenName=", 2, ""},
        RecordCase{"a key twice: the later value", "terminalCID=t\ntokenName=a\ntokenName=b", 2,
                   "t/b"},
        RecordCase{"LocalName", "terminalCID=t\ntokenName=a\nLocalName=n", 2, "t/a local=n"},
        RecordCase{"annotation.x_token outside sort order 3",
                   "terminalCID=t\ntokenName=a\nannotation.x_token=p.q.r.s", 2, "t/a flag=2"},
        RecordCase{"annotation.x_token is the token under sort order 3",
                   "terminalCID=t\nannotation.x_token=p.q.r.s\nLocalName=n", 3, "t/r.s flag=2"},
        RecordCase{"a later tokenName replaces the annotation",
                   "terminalCID=t\nannotation.x_token=p.q.r.s\ntokenName=a", 3, "t/a flag=2"}));

TEST(RecordList, EqualKeysKeepTheirOrderOfArrival) {
    std::vector<std::string> records = {"terminalCID=t3\ntokenName=b\nsecurityMode=first",
                                        "terminalCID=t1\ntokenName=a",
                                        "terminalCID=t2\ntokenName=b\nsecurityMode=second"};
    EXPECT_EQ(parse(records, VK_SORT_BY_TOKEN), "t1/a | t3/b mode=first | t2/b mode=second");
    EXPECT_EQ(parse(records, VK_SORT_BY_TERMINAL), "t1/a | t2/b mode=second | t3/b mode=first");
    EXPECT_EQ(parse(records, 0), "t1/a | t3/b mode=first | t2/b mode=second");
    records.push_back("terminalCID=t1\ntokenName=c");
    EXPECT_EQ(parse(records, VK_SORT_BY_TERMINAL),
              "t1/a | t1/c | t2/b mode=second | t3/b mode=first");
}

TEST(RecordList, TerminalFilterIsASubstringTest) {
    std::vector<std::string> records;
    for (const char *t : {"t1", "t2", "t3", "t", "1,t", "t12"})
        records.push_back(std::string("terminalCID=") + t + "\ntokenName=" + t);
    EXPECT_EQ(parse(records, VK_SORT_BY_TERMINAL, kKeys, "t1,t2"), "1,t/1,t | t/t | t1/t1 | t2/t2");
    EXPECT_EQ(parse(records, VK_SORT_BY_TERMINAL, kKeys, ""), "");
}

TEST(RecordList, WithoutAFilterNothingIsKept) {
    EXPECT_EQ(parse({"terminalCID=t1\ntokenName=a"}, VK_SORT_BY_TOKEN, nullptr), "");
    vk_free_KeyValuesNode_list(nullptr);
}

TEST(ShortTokenId, LastTwoParts) {
    const struct {
        const char *id, *expect;
    } cases[] = {{"a.b.c.d", "c.d"}, {"x.y.z", "y.z"}, {"a.b", "a.b"}, {"a.b.", "b."},
                 {"abc", "abc"},     {"", ""},         {"..", "."},    {".a.b", "a.b"}};
    for (auto &c : cases) {
        const char *s = get_short_token_id(c.id);
        EXPECT_STREQ(s, c.expect) << c.id;
        // A position inside the given text, not a copy.
        EXPECT_TRUE(s >= c.id && s <= c.id + std::char_traits<char>::length(c.id)) << c.id;
    }
}

volatile sig_atomic_t children_ended = 0;

TEST(HostProbe, NoHostOrAnEmptyOneStartsNothing) {
    struct sigaction count = {}, old = {};
    count.sa_handler = [](int) { children_ended = children_ended + 1; };
    sigaction(SIGCHLD, &count, &old);
    EXPECT_EQ(ping_host(nullptr), 0);
    EXPECT_EQ(ping_host(""), EINVAL);
    sigaction(SIGCHLD, &old, nullptr);
    EXPECT_EQ(children_ended, 0);
}

}  // namespace
