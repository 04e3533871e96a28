// The authentication manager's status records: one record text into one
// node of a sorted list, and the short token id.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vkadmin.h"

namespace {

// The filter the status query builds for the keys that session state asks for.
constexpr const char *kKeys =
    "~terminalCID~terminalId~tokenName~firmware~encryptUpType~securityMode~"
    "MultiheadTerminalIndex~MultiheadGroupName~MultiheadPrimary~LocalName~annotation.x_token~";

// "terminal/token" and the other fields that are set, per node, "|" between nodes.
std::string describe(const vk_KeyValuesNode_t *n) {
    std::string r;
    for (; n; n = n->next) {
        if (!r.empty()) r += " | ";
        r += std::string(n->terminal_CID) + "/" + n->token_name;
        if (n->enc_up_type) r += std::string(" enc=") + n->enc_up_type;
        if (n->security_mode) r += std::string(" mode=") + n->security_mode;
        if (n->local_name) r += std::string(" local=") + n->local_name;
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

TEST(StatusRecord, OneRecordIntoOneNode) {
    struct {
        const char *text;
        int sort;
        const char *expect;  // "" when the record is dropped
        const char *keys = kKeys;
    } cases[] = {
        // terminalCID wins over terminalId, whichever comes first.
        {"terminalId=id1\nterminalCID=cid1\ntokenName=a", 2, "cid1/a"},
        {"terminalCID=cid1\nterminalId=id1\ntokenName=a", 2, "cid1/a"},
        {"terminalCID=t1\nencryptUpType=x", 2, ""},
        {"tokenName=a\nencryptUpType=x", 2, ""},
        {"terminalCID=t\ntokenName=", 2, ""},  // an empty tokenName is no token
        // The filter is case-sensitive, the key table is not.
        {"terminalCID=t1\nTokenName=a", 2, ""},
        {"terminalCID=t1\nTokenName=a", 2, "t1/a", "~terminalCID~TokenName~"},
        // Only the lowercase word marks a terminal that is not the primary.
        {"terminalCID=t\ntokenName=a\nMultiheadPrimary=FALSE", 2, "t/a"},
        {"terminalCID=t\ntokenName=a\nMultiheadPrimary=false", 2, "t/a flag=1"},
        {"terminalCID=t\ntokenName=a\nMultiheadTerminalIndex=63", 2, "t/a index=63"},
        {"terminalCID=t\ntokenName=a\nMultiheadTerminalIndex=x", 2, "t/a index=0"},
        // All 32 bits set is the mark of an absent index.
        {"terminalCID=t\ntokenName=a\nMultiheadTerminalIndex=4294967295", 2, "t/a"},
        {"terminalCID=t\ntokenName=a\nencryptUpType=k=v=w", 2, "t/a enc=k=v=w"},
        // Under sort order 3 the short form of the annotation is the token.
        {"terminalCID=t\ntokenName=a\nannotation.x_token=p.q.r.s", 2, "t/a flag=2"},
        {"terminalCID=t\nannotation.x_token=p.q.r.s\nLocalName=n", 3, "t/r.s flag=2"},
        {"terminalCID=t\nannotation.x_token=p.q.r.s\ntokenName=a", 3, "t/a flag=2"},
    };
    for (auto &c : cases) EXPECT_EQ(parse({c.text}, c.sort, c.keys), c.expect) << c.text;
}

// Unlike the keyed lists, equal keys keep their order of arrival here.
TEST(StatusRecord, EqualKeysKeepTheirOrderOfArrival) {
    std::vector<std::string> records = {
        "terminalCID=t3\ntokenName=b\nsecurityMode=first", "terminalCID=t1\ntokenName=a",
        "terminalCID=t2\ntokenName=b\nsecurityMode=second", "terminalCID=t1\ntokenName=c"};
    EXPECT_EQ(parse(records, VK_SORT_BY_TOKEN), "t1/a | t3/b mode=first | t2/b mode=second | t1/c");
    EXPECT_EQ(parse(records, VK_SORT_BY_TERMINAL),
              "t1/a | t1/c | t2/b mode=second | t3/b mode=first");
}

TEST(StatusRecord, TerminalFilterIsASubstringTest) {
    std::vector<std::string> records;
    for (const char *t : {"t1", "t2", "t3", "t", "1,t", "t12"})
        records.push_back(std::string("terminalCID=") + t + "\ntokenName=" + t);
    EXPECT_EQ(parse(records, VK_SORT_BY_TERMINAL, kKeys, "t1,t2"), "1,t/1,t | t/t | t1/t1 | t2/t2");
    EXPECT_EQ(parse(records, VK_SORT_BY_TERMINAL, kKeys, ""), "");
}

TEST(ShortTokenId, LastTwoPartsWithinTheGivenText) {
    const struct {
        const char *id, *expect;
    } cases[] = {{"a.b.c.d", "c.d"}, {"a.b", "a.b"}, {"a.b.", "b."},
                 {"abc", "abc"},     {"..", "."},    {".a.b", "a.b"}};
    for (auto &c : cases) {
        const char *s = get_short_token_id(c.id);
        EXPECT_STREQ(s, c.expect) << c.id;
        EXPECT_TRUE(s >= c.id && s <= c.id + std::char_traits<char>::length(c.id)) << c.id;
    }
}

}  // namespace
