// The authentication manager's status records: one record text into one
// node of a sorted list, the short token id, and the list that a reply
// builds, which must be the list that inserting its records one by one
// gives: ascending by the sort key, equal keys in their order of arrival,
// after any records the list already held; whatever the sizes of the
// pieces the reply arrives in.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "auth_reply.h"

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
        {"terminalCID=t\ntokenName=a\nMultiheadTerminalIndex=x", 2, "t/a index=0"},
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
    } cases[] = {{"a.b.c.d", "c.d"}, {"a.b.", "b."}, {"abc", "abc"}, {"..", "."}};
    for (auto &c : cases) {
        const char *s = get_short_token_id(c.id);
        EXPECT_STREQ(s, c.expect) << c.id;
        EXPECT_TRUE(s >= c.id && s <= c.id + std::char_traits<char>::length(c.id)) << c.id;
    }
}

struct Reply {
    std::string text;
    std::vector<std::string> records;  // their texts, as parse_record gets them
};

// Records of terminals t0, t1, ... whose token names repeat often; some are
// dropped by the parser (no token name, an empty one, a line too long).
Reply random_reply(std::mt19937 &rng, int n) {
    static const char *tokens[] = {"a", "b", "B", "ab", "user.x", "10", "9", ""};
    std::uniform_int_distribution<int> pick(0, 7), odd(0, 19);
    Reply r;
    for (int i = 0; i < n; ++i) {
        std::string tid = "t" + std::to_string((i * 7919) % 1000);
        std::string body = "terminalCID=" + tid + "\n";
        int o = odd(rng);
        if (o != 0) body += std::string("tokenName=") + tokens[pick(rng)] + "\n";
        body += "securityMode=hard\n";
        r.text += "begin\n" + body + "end\n";
        r.records.push_back(body);
        if (o == 1) r.text += "begin\ntokenName=x\n" + std::string(600, 'v') + "\nend\n";
    }
    return r;
}

vk_KeyValuesNode_t *one_by_one(const Reply &r, int sort, vk_KeyValuesNode_t *list) {
    for (const std::string &rec : r.records) parse_record(&list, rec.c_str(), sort, kKeys, nullptr);
    return list;
}

TEST(StatusList, ReplyBuildsTheListOfOneByOneInsertion) {
    std::mt19937 rng(7);
    for (int sort : {VK_SORT_BY_TERMINAL, VK_SORT_BY_TOKEN}) {
        for (int round = 0; round < 40; ++round) {
            Reply before = random_reply(rng, round % 4);
            Reply r = random_reply(rng, 5 + round * 3);
            vk_KeyValuesNode_t *want = one_by_one(r, sort, one_by_one(before, sort, nullptr));
            for (size_t piece : {size_t{1}, size_t{13}, r.text.size()}) {
                vk_KeyValuesNode_t *got = one_by_one(before, sort, nullptr);
                vk::StatusReply reply(&got, sort, kKeys, nullptr);
                for (size_t at = 0; at < r.text.size(); at += piece)
                    reply.feed(r.text.data() + at, std::min(piece, r.text.size() - at));
                EXPECT_EQ(describe(got), describe(want)) << "sort " << sort << " piece " << piece;
                vk_free_KeyValuesNode_list(got);
            }
            vk_free_KeyValuesNode_list(want);
        }
    }
}

// The reader keeps where its list ends; a list freed from outside (a reply
// given up) must be started afresh, not appended to through that end.
TEST(StatusList, AListEmptiedFromOutsideIsStartedAfresh) {
    vk_KeyValuesNode_t *list = nullptr;
    vk::StatusReply reply(&list, VK_SORT_BY_TOKEN, kKeys, nullptr);
    std::string text = "begin\nterminalCID=t1\ntokenName=a\nend\n";
    reply.feed(text.data(), text.size());
    vk_free_KeyValuesNode_list(list);
    list = nullptr;
    text = "begin\nterminalCID=t7\ntokenName=b\nend\n";
    reply.feed(text.data(), text.size());
    EXPECT_EQ(describe(list), "t7/b");
    vk_free_KeyValuesNode_list(list);
}

}  // namespace
