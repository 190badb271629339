#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/Logging.h"
#include "link/LinkDecoder.h"
#include "link/LinkRequestEncoder.h"

using namespace LinkProtocol;

namespace {

// The JSON of a message text (the decoders take what DecodeMessage gives).
Json::Value Parse(const std::string& text) {
    return DecodeMessage(text).message;
}

using Strings = std::vector<std::string>;

}  // namespace

TEST(LinkDecoderTest, MessageTypeIsAnIntegerOrMinusOne) {
    EXPECT_EQ(DecodeMessage(R"({"type":7,"files":[]})").type, 7);
    EXPECT_EQ(DecodeMessage(R"({"type":99})").type, 99) << "unknown types are returned as they are";
    EXPECT_EQ(DecodeMessage(R"({"type":-5})").type, -5);
    EXPECT_EQ(DecodeMessage(R"({"type":3.0})").type, 3) << "an integral number reads as an integer";
    EXPECT_EQ(DecodeMessage(R"( {"type":0} )").type, 0);

    logging::ScopedLogCapture log;
    for (const char* text : {R"({"files":[]})", R"({"type":"8"})", R"({"type":true})",
                             R"({"type":null})", R"({"type":3.5})", R"({"type":2147483648})",
                             R"({"type":1e30})", R"([{"type":3}])", R"("type")"}) {
        EXPECT_EQ(DecodeMessage(text).type, -1) << text;
    }
    EXPECT_FALSE(log.Contains("parseMsg failed")) << "JSON without an integer type is not logged";

    for (const char* text :
         {R"({"type":8,"files":[)", R"({"type":3} trailing)", "", "{'type':3}"}) {
        EXPECT_EQ(DecodeMessage(text).type, -1) << text;
    }
    EXPECT_EQ(log.Count("ClientInterfaceMgr::parseMsg failed"), 4u);
    EXPECT_EQ(DecodeMessage(std::string(100000, '[') + std::string(100000, ']')).type, -1)
        << "deep nesting is refused, not a stack overflow";
}

TEST(LinkDecoderTest, NumbersFollowThe64And32BitRules) {
    // pid is 64-bit, share 32-bit: a fraction is cut, a number out of range reads as 0, and so
    // does anything that is not a number.
    using Key = std::pair<int64_t, int32_t>;
    auto key = [](const std::string& pid, const std::string& share) {
        auto uploads = DecodeUploads(Parse(R"({"type":8,"files":[{"pid":)" + pid + R"(,"share":)" +
                                           share + R"(,"paths":["/a"]}]})"));
        return uploads.size() == 1 ? Key{uploads[0].pid, uploads[0].share} : Key{-99, -99};
    };
    EXPECT_EQ(key("9223372036854775807", "2147483647"), (Key{9223372036854775807, 2147483647}));
    EXPECT_EQ(key("-9223372036854775808", "-2147483648"), (Key{INT64_MIN, INT32_MIN}));
    EXPECT_EQ(key("9223372036854775808", "2147483648"), (Key{0, 0}));
    EXPECT_EQ(key("1e19", "-2147483649"), (Key{0, 0}));
    EXPECT_EQ(key("9.1e18", "1e9"), (Key{9100000000000000000, 1000000000}));
    EXPECT_EQ(key("1.9", "-3.7"), (Key{1, -3}));
    EXPECT_EQ(key(R"("5")", "true"), (Key{0, 0}));
    EXPECT_EQ(key("null", "[1]"), (Key{0, 0}));
    EXPECT_EQ(key("{}", R"("1")"), (Key{0, 0}));
}

TEST(LinkDecoderTest, CookiesReadEveryElementWithDefaults) {
    EXPECT_EQ(DecodeCookies(Parse(R"({"type":2,"values":[
                  {"domain":"d","name":"a","value":"1","path":"/"},
                  {"name":"b"},
                  {"name":7,"value":{},"domain":[],"path":null},
                  3]})")),
              (std::vector<Cookie>{{"d", "a", "1", "/"}, {"", "b", "", ""}, {}, {}}))
        << "an element of the wrong type is a cookie with empty members";
    EXPECT_TRUE(DecodeCookies(Parse(R"({"type":6,"values":"a=1"})")).empty());
    EXPECT_TRUE(DecodeCookies(Parse(R"({"type":6})")).empty());
}

TEST(LinkDecoderTest, DownloadsNeedAnAbsoluteTarget) {
    logging::ScopedLogCapture log;
    auto downloads = DecodeDownloads(Parse(R"({"type":7,"files":[
        {"size":10,"url":"http://d/1","path":"/tmp/a.bin"},
        {"size":"big","url":5,"path":"/tmp/b.bin"},
        {"size":30,"url":"http://d/3","path":"relative/c.bin"},
        {"size":40,"url":"http://d/4","path":""},
        {"size":50,"url":"http://d/5"},
        "/tmp/d.bin"]})"));
    EXPECT_EQ(downloads, (std::vector<DownloadObject>{{10, "http://d/1", "/tmp/a.bin"},
                                                      {0, "", "/tmp/b.bin"}}));
    EXPECT_TRUE(
        log.Contains("ClientInterfaceMgr::parseMsg: download target 'relative/c.bin' skipped"));
    EXPECT_EQ(log.Count("download target '' skipped"), 3u);
    EXPECT_TRUE(
        DecodeDownloads(Parse("{\"type\":7,\"files\":[{\"path\":\"/a\\u0000b\"}]}")).empty())
        << "a NUL would cut the path short";
}

TEST(LinkDecoderTest, UploadsKeepOnlyUsablePathsAndObjectsThatHaveOne) {
    auto uploads = DecodeUploads(Parse(R"({"type":8,"files":[
        {"pid":5,"share":1,"paths":["/a","",7,null,"rel/b",{},"/c"]},
        {"pid":6,"share":0,"paths":[]},
        {"pid":7,"paths":"/x"},
        {"pid":8,"paths":[""]},
        "/y",
        {"paths":["/z"]}]})"));
    EXPECT_EQ(uploads, (std::vector<UploadObject>{{5, 1, {"/a", "rel/b", "/c"}}, {0, 0, {"/z"}}}))
        << "sources may be relative; only empty paths and wrong types go";
    EXPECT_EQ(DecodeUploads(
                  Parse("{\"type\":8,\"files\":[{\"pid\":1,\"paths\":[\"/a\\u0000b\",\"/ok\"]}]}")),
              (std::vector<UploadObject>{{1, 0, {"/ok"}}}));
    EXPECT_TRUE(DecodeUploads(Parse(R"({"type":8,"files":{"pid":1,"paths":["/a"]}})")).empty());
}

TEST(LinkDecoderTest, CancelFidsAreDecimalStringsOrIntegers) {
    logging::ScopedLogCapture log;  // the number reader complains about the strings it refuses
    auto cancels = DecodeCancels(Parse(R"({"type":9,"files":[
        {"fids":["101","-3","x",""," 7","8 ","9223372036854775807","9223372036854775808"],"remove":1},
        {"fids":[104,1.0,1.5,1e30,true,null,["5"]],"remove":"yes"},
        {"fids":"1","remove":2147483648},
        4]})"));
    ASSERT_EQ(cancels.size(), 4u) << "one record per element, whatever it holds";
    EXPECT_EQ(cancels[0], (CancelObject{{101, -3, 9223372036854775807}, 1}));
    EXPECT_EQ(cancels[1], (CancelObject{{104, 1}, 0}));
    EXPECT_EQ(cancels[2], (CancelObject{{}, 0}));
    EXPECT_EQ(cancels[3], (CancelObject{{}, 0}));
    EXPECT_TRUE(DecodeCancels(Parse(R"({"type":9,"files":[]})")).empty());
}

TEST(LinkDecoderTest, LocalEditsKeepTheTokenAsCompactJsonAndRefuseNamesThatAreNoFileName) {
    logging::ScopedLogCapture log;
    auto edits = DecodeLocalEdits(Parse(R"({"type":10,"files":[
        {"token":{"k": [1, "two"], "u":"\u00e9"},"share":1,"size":77,"pid":3,"fid":4,"name":"doc.txt","hash":"abc"},
        {"fid":"4","name":"b.txt","size":-1},
        {"name":"."},{"name":".."},{"name":"a/b"},{"name":""},{"name":7},
        {"token":"tok","name":"..."}]})"));
    ASSERT_EQ(edits.size(), 3u);
    EXPECT_EQ(edits[0], (LocalEditObject{"{\"k\":[1,\"two\"],\"u\":\"\xC3\xA9\"}\n", 1, 77, 3, 4,
                                         "doc.txt", "abc"}));
    EXPECT_EQ(edits[1], (LocalEditObject{"null\n", 0, -1, 0, 0, "b.txt", ""}))
        << "a missing token is null";
    EXPECT_EQ(edits[2].token, "\"tok\"\n");
    EXPECT_EQ(edits[2].name, "...") << "dots alone are a name";
    EXPECT_TRUE(log.Contains("ClientInterfaceMgr::parseMsg: local edit name 'a/b' skipped"));
    EXPECT_EQ(log.Count("local edit name"), 5u);
    EXPECT_TRUE(
        DecodeLocalEdits(Parse("{\"type\":10,\"files\":[{\"name\":\"a\\u0000b\"}]}")).empty());
}

TEST(LinkDecoderTest, BatchItemsAreFilesOnlyWithTypeOneAndNeedPlainNames) {
    logging::ScopedLogCapture log;
    auto batches = DecodeBatchDownloads(Parse(R"({"type":11,"files":[
        {"path":"/home/u/Down","files":[
            {"fid":11,"name":"a.txt","type":1,"share":0,"size":100},
            {"fid":12,"name":"Photos","type":0,"share":1,"size":999},
            {"fid":13,"name":"../../.bashrc","type":1,"size":5},
            {"fid":14,"name":"x","type":"1","size":6},
            {"fid":15,"name":"y","type":2},
            {"fid":16,"name":"z","type":1.0,"share":1}]},
        {"path":"relative","files":[{"fid":1,"name":"a","type":1}]},
        {"path":3,"files":[{"fid":1,"name":"a","type":1}]},
        {"path":"/empty","files":"none"},
        "s"]})"));
    ASSERT_EQ(batches.size(), 2u)
        << "targets that are not absolute paths take their items with them";
    EXPECT_EQ(batches[0].path, "/home/u/Down");
    EXPECT_EQ(batches[0].files, (std::vector<BatchItem>{{11, "a.txt", 1, 0, 100},
                                                        {12, "Photos", 0, 1, 0},
                                                        {14, "x", 0, 0, 0},
                                                        {15, "y", 2, 0, 0},
                                                        {16, "z", 1, 1, 0}}))
        << "a folder's size is not read; only the number 1 marks a file";
    EXPECT_EQ(batches[1], (BatchObject{"/empty", {}}));
    EXPECT_TRUE(batches[0].files[0].IsFile());
    EXPECT_FALSE(batches[0].files[3].IsFile());
    EXPECT_TRUE(
        log.Contains("ClientInterfaceMgr::parseMsg: batch item name '../../.bashrc' skipped"));
    EXPECT_TRUE(log.Contains("ClientInterfaceMgr::parseMsg: batch target 'relative' skipped"));
    EXPECT_TRUE(log.Contains("ClientInterfaceMgr::parseMsg: batch target '' skipped"));
}

TEST(LinkDecoderTest, ClipboardItemsOfEveryGroupInOrder) {
    logging::ScopedLogCapture log;
    auto items = DecodeClipboardCopy(Parse(R"({"type":15,"files":[
        {"files":[{"fid":7,"name":"a.txt","share":0,"type":1,"size":12},
                  {"fid":8,"name":"Dir","share":1,"type":0,"size":99}]},
        {"files":{"fid":1,"name":"no"}},
        2,
        {"files":[{"fid":9,"name":"..","type":1},{"fid":10,"name":"b","type":1}]}]})"));
    EXPECT_EQ(items, (std::vector<ClipboardItem>{
                         {7, "a.txt", 0, 1, 12}, {8, "Dir", 1, 0, 0}, {10, "b", 0, 1, 0}}));
    EXPECT_TRUE(log.Contains("ClientInterfaceMgr::parseMsg: clipboard item name '..' skipped"));
    EXPECT_TRUE(DecodeClipboardCopy(Parse(R"({"type":15,"files":[]})")).empty());
}

TEST(LinkDecoderTest, ProxyAndEditNamesReadWithDefaults) {
    EXPECT_EQ(DecodeProxy(Parse(R"({"type":12,"values":"socks5://127.0.0.1:1080"})")),
              "socks5://127.0.0.1:1080")
        << "stored as given; the options rewrite it";
    EXPECT_EQ(DecodeProxy(Parse(R"({"type":12,"values":[1]})")), "");
    EXPECT_EQ(DecodeProxy(Parse(R"({"type":12})")), "");

    EXPECT_EQ(DecodeEditNames(Parse(R"({"type":13,"files":[{"name":"doc.txt","fid":4},{"fid":"5"},7,
                                                           {"name":"a/b","fid":6}]})")),
              (std::vector<EditNameEntry>{{"doc.txt", 4}, {"", 0}, {"", 0}, {"a/b", 6}}))
        << "names only identify edits here; they never become paths";
    EXPECT_TRUE(DecodeEditNames(Parse(R"({"type":13,"files":{}})")).empty());
}

TEST(LinkDecoderTest, PageRequestsDecodeToTheRecordsTheyWereBuiltFrom) {
    auto decode = [](const Json::Value& request, In type) {
        DecodedMessage decoded = DecodeMessage(RequestText(request));
        EXPECT_EQ(decoded.type, Number(type));
        return decoded.message;
    };
    const std::vector<Cookie> cookies{{"web.localhost", "QSESSIONID", "s", "/"},
                                      {"d", "cookieUid", "42", "/"}};
    EXPECT_EQ(DecodeCookies(decode(EncodeCookies(In::kGoOnline, cookies), In::kGoOnline)), cookies);

    const std::vector<DownloadObject> downloads{
        {1LL << 40, "http://d/x?fid=1", "/tmp/\xE6\x96\x87 \"q\".bin"}};
    EXPECT_EQ(DecodeDownloads(decode(EncodeDownloads(downloads), In::kDownload)), downloads);

    const std::vector<UploadObject> uploads{{INT64_MAX, 1, {"/a", "b c"}}, {-1, INT32_MIN, {"/d"}}};
    EXPECT_EQ(DecodeUploads(decode(EncodeUploads(uploads), In::kUpload)), uploads);

    const std::vector<CancelObject> cancels{{{1, INT64_MIN, INT64_MAX}, 0}, {{}, 1}};
    const Json::Value cancel = EncodeCancels(cancels);
    EXPECT_TRUE(cancel["files"][0]["fids"][0].isString()) << "the page writes fids as strings";
    EXPECT_EQ(DecodeCancels(decode(cancel, In::kCancelUpload)), cancels);

    const std::vector<LocalEditObject> edits{{"{\"k\":[1,2.5,\"x\"]}\n", 1, 9, 2, 3, "n.txt", "h"},
                                             {"null\n", 0, 0, 0, 0, "m", ""}};
    EXPECT_EQ(DecodeLocalEdits(decode(EncodeLocalEdits(edits), In::kLocalEdit)), edits);

    const std::vector<BatchObject> batches{
        {"/d", {{1, "a", kFileItem, 1, 3}, {2, "F", 0, 1, 0}, {3, "G", 7, 0, 0}}}, {"/e", {}}};
    EXPECT_EQ(DecodeBatchDownloads(decode(EncodeBatchDownloads(batches), In::kBatchDownload)),
              batches);

    const std::vector<ClipboardItem> items{{1, "a", 0, kFileItem, 2}, {2, "F", 1, 0, 0}};
    EXPECT_EQ(DecodeClipboardCopy(decode(EncodeClipboardCopy(items), In::kClipboardCopy)), items);

    EXPECT_EQ(DecodeProxy(decode(EncodeProxy("http://p:1"), In::kProxy)), "http://p:1");
    const std::vector<EditNameEntry> names{{"n.txt", 3}};
    EXPECT_EQ(DecodeEditNames(decode(EncodeEditNames(names), In::kEditNames)), names);

    EXPECT_EQ(RequestText(EncodeRequest(In::kHello)), R"({"type":0})");
    EXPECT_EQ(RequestText(EncodeProxy("")), R"({"type":12,"values":""})");
}
