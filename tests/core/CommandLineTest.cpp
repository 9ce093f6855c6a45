#include "core/CommandLine.h"
#include "core/instance/QueueRequest.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace ferrox;
using namespace ferrox::test;

namespace {

using TStrings = std::vector<std::string>;

// What `ferrox ARGS` in a directory of known files is to queue, or why it refuses; a
// refusal never carries paths to queue.
TEST(CommandLineTest, ArgumentsBecomeOneCheckedRequestOrNamedFaults) {
    TTempDir dir;
    const std::string T = dir.Path();
    WriteFile(dir / "a.txt", "a");
    WriteFile(dir / "sp ace", "s");
    WriteFile(dir / "--move", "a file so named");
    WriteFile(dir / "\xff\xfe name", "not UTF-8");
    MakeDir(dir / "d");
    MakeDir(dir / "d/sub");
    ASSERT_EQ(::symlink((dir / "d/sub").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "nowhere").c_str(), (dir / "dead").c_str()), 0);
    // Longer than any fixed buffer of a kilobyte or two.
    std::string deep;
    for (int i = 0; i < 8; ++i) {
        deep += (deep.empty() ? "" : "/") + std::string(200, static_cast<char>('a' + i));
        MakeDir(dir / deep);
    }
    const std::string parent = T.substr(0, T.rfind('/'));

    const std::pair<TStrings, TCommandLine::TAction> others[] = {
        {{}, TCommandLine::OpenWindow},
        {{"nothere", "--help"}, TCommandLine::ShowHelp},
        {{"-h"}, TCommandLine::ShowHelp},
        {{"--version"}, TCommandLine::ShowVersion},
    };
    for (const auto& [args, action] : others)
        EXPECT_EQ(ParseCommandLine(args, T).Action, action) << testing::PrintToString(args);

    const std::pair<TStrings, TQueueRequest> queued[] = {
        {{"a.txt", "d", T + "/sp ace"}, {{T + "/a.txt", T + "/d", T + "/sp ace"}}},
        // Options anywhere before "--"; the destination is checked and made absolute too.
        {{"a.txt", "--copy-now", "--to", "d", "--move"}, {{T + "/a.txt"}, T + "/d", true, true}},
        {{"--to=" + T + "/d/"}, {{}, T + "/d"}},
        {{"--copy-now"}, {{}, std::nullopt, false, true}},
        {{"--", "--move"}, {{T + "/--move"}}},
        // The line's name is the file's own: a copy of "d/" or "d/sub/.." goes into
        // DEST/d, not into DEST itself, and ".." never climbs out of the destination.
        {{"./d/", "d/./sub//", "d/sub/..", "link/..", ".."},
         {{T + "/d", T + "/d/sub", T + "/d", T + "/d", parent}}},
        {{"\xff\xfe name", deep}, {{T + "/\xff\xfe name", T + "/" + deep}}},
        {{"file://" + T + "/sp%20ace", "FILE://localhost" + T + "/%FF%FE%20name"},
         {{T + "/sp ace", T + "/\xff\xfe name"}}},
    };
    for (const auto& [args, request] : queued) {
        SCOPED_TRACE("ferrox " + testing::PrintToString(args));
        const TCommandLine got = ParseCommandLine(args, T);
        EXPECT_EQ(got.Action, TCommandLine::Queue);
        EXPECT_EQ(got.Errors, TStrings{});
        EXPECT_EQ(got.Request, request);
    }

    // Every fault is named; main queues nothing then.
    const std::pair<TStrings, TStrings> refused[] = {
        {{"--bogus", "a.txt", "-x"}, {"unknown option '--bogus'", "unknown option '-x'"}},
        {{"a.txt", "--to"}, {"option '--to' needs a folder"}},
        {{"--to", "d", "--to", "d", "a.txt"}, {"option '--to' given twice"}},
        {{"--move", "--to", "d"}, {"option '--move' needs a PATH"}},
        {{"a.txt", "nothere", "dead", ""},
         {"cannot queue 'nothere': No such file or directory",
          "cannot queue 'dead': No such file or directory",
          "cannot queue '': No such file or directory"}},
        {{"--to", "a.txt", "d"}, {"cannot queue into 'a.txt': Not a directory"}},
        {{"smb://host/share/a.txt", "file://elsewhere.example" + T + "/a.txt",
          "file://" + T + "/a.txt\nfile://" + T + "/d"},
         {"cannot queue 'smb://host/share/a.txt': not a local path",
          "cannot queue 'file://elsewhere.example" + T + "/a.txt': not a local path",
          "cannot queue 'file://" + T + "/a.txt\nfile://" + T + "/d': not a local path"}},
    };
    for (const auto& [args, errors] : refused) {
        SCOPED_TRACE("ferrox " + testing::PrintToString(args));
        const TCommandLine got = ParseCommandLine(args, T);
        EXPECT_EQ(got.Action, TCommandLine::BadUsage);
        EXPECT_EQ(got.Errors, errors);
    }

    // A working directory that cannot be read fails relative paths only.
    const TCommandLine lost = ParseCommandLine({"a.txt", T + "/d"}, "");
    EXPECT_EQ(lost.Errors, TStrings{"cannot queue 'a.txt': the working directory cannot be read"});
}

// A message is applied only when it follows the format to its last byte: every other one
// is refused whole with its reason, however it was cut or garbled.
TEST(QueueRequestTest, OnlyWholeWellFormedMessagesBecomeRequests) {
    TQueueRequest request;
    request.Paths = {"/a/\xff odd\nname", "/b"};
    request.Destination = "/dest";
    request.Move = true;
    request.CopyNow = true;
    const std::string good = EncodeRequest(request);
    EXPECT_EQ(DecodeRequest(good).Request, request);
    EXPECT_EQ(CheckMessage(good, RequestKind, MaxRequestBody).State, TMessageCheck::Whole);
    EXPECT_EQ(CheckMessage(good.substr(0, 11), RequestKind, MaxRequestBody).State,
              TMessageCheck::NeedMore);

    auto header = [](uint32_t bodySize) {
        std::string h(RequestKind);
        for (int shift = 24; shift >= 0; shift -= 8)
            h.push_back(static_cast<char>((bodySize >> shift) & 0xFF));
        return h;
    };
    auto withBody = [&](const std::string& body) { return header(body.size()) + body; };
    auto relative = request;
    relative.Paths[1] = "b";
    auto moveAlone = TQueueRequest{};
    moveAlone.Move = true;
    auto relativeDestination = request;
    relativeDestination.Destination = "dest";
    const std::pair<std::string, std::string> broken[] = {
        {"GET / HTTP/1.1\r\n\r\n", "not a Ferrox message"},
        {header(MaxRequestBody + 1) + "x", "too large: 16777217 bytes"},
        {good.substr(0, good.size() - 1), "cut short"},
        {good + "x", "bytes after the end of the message"},
        // Framed whole, but its body goes on after its last path.
        {withBody(good.substr(MessageHeaderSize) + "x"), "bytes after the end of the message"},
        {withBody(std::string("\x08", 1) + std::string(4, '\0')), "unknown flags"},
        // A count of paths the bytes cannot hold is not believed.
        {withBody(std::string(1, '\0') + "\xff\xff\xff\xff"), "cut short"},
        {EncodeRequest(relative), "a path that is not absolute"},
        {withBody(std::string("\0\0\0\0\1\0\0\0\3/a\0", 12)), "a path holding a NUL byte"},
        {EncodeRequest(moveAlone), "a move without a path"},
        {EncodeRequest(relativeDestination), "destination: a path that is not absolute"},
    };
    for (const auto& [message, why] : broken) {
        SCOPED_TRACE(why);
        const TDecodedRequest decoded = DecodeRequest(message);
        EXPECT_FALSE(decoded.Request);
        EXPECT_EQ(decoded.Why, why);
    }

    // The size limit: a body of exactly MaxRequestBody bytes is a request, one more is not,
    // and is refused as soon as its length has come.
    for (const size_t body : {MaxRequestBody, MaxRequestBody + 1}) {
        SCOPED_TRACE(body);
        TQueueRequest large;
        // The flags, the count and the path's length take 9 bytes.
        large.Paths = {"/" + std::string(body - 10, 'a')};
        const std::string message = EncodeRequest(large);
        ASSERT_EQ(message.size(), MessageHeaderSize + body);
        const bool fits = body <= MaxRequestBody;
        EXPECT_EQ(
            CheckMessage(message.substr(0, MessageHeaderSize), RequestKind, MaxRequestBody).State,
            fits ? TMessageCheck::NeedMore : TMessageCheck::Broken);
        const TDecodedRequest decoded = DecodeRequest(message);
        EXPECT_EQ(decoded.Request, fits ? std::optional(large) : std::nullopt);
        EXPECT_EQ(decoded.Why, fits ? "" : "too large: " + std::to_string(body) + " bytes");
    }
}

} // namespace
