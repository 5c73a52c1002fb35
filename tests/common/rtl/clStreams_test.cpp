#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "rtl/clException.h"
#include "rtl/clStreams.h"
#include "rtl/clStringList.h"
#include "rtl/clStrUtils.h"

using namespace cl;

namespace {
std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() / ("cl_rtl_" + std::to_string(getpid()) + "_" + name)).string();
}
}  // namespace

TEST(MemoryStream, WritesPastTheEndGrowAndSeekClampsAtZero) {
    TMemoryStream m;
    m.WriteBuffer(std::string("abc"));
    m.SetPosition(5);
    m.WriteBuffer(std::string("z"));
    EXPECT_EQ(m.GetSize(), 6);
    EXPECT_EQ(m.Bytes()[3], 0);
    EXPECT_EQ(m.Seek(-100, soCurrent), 0);
    m.SetSize(2);
    EXPECT_EQ(m.GetPosition(), 0);
    m.Seek(0, soEnd);
    EXPECT_EQ(m.GetPosition(), 2);
    char c;
    EXPECT_EQ(m.Read(&c, 1), 0);
    EXPECT_THROW(m.ReadBuffer(&c, 1), EReadError);
}

TEST(MemoryStream, CopyFromWithZeroCountCopiesTheWholeSourceFromItsStart) {
    TMemoryStream src, dst;
    std::string data(200000, 'x');
    data[123456] = 'y';
    src.WriteBuffer(data);
    EXPECT_EQ(dst.CopyFrom(src, 0), 200000);
    EXPECT_EQ(std::string(dst.Bytes().begin(), dst.Bytes().end()), data);
    src.SetPosition(10);
    TMemoryStream part;
    EXPECT_EQ(part.CopyFrom(src, 5), 5);
    EXPECT_EQ(src.GetPosition(), 15);
}

TEST(FileStream, CreateWriteReopenReadAndTruncate) {
    const std::string path = TempPath("fs");
    {
        TFileStream f(path, fmCreate);
        f.WriteBuffer(std::string("hello world"));
        EXPECT_EQ(f.GetSize(), 11);
        f.SetSize(5);
        EXPECT_EQ(f.GetPosition(), 5);
    }
    {
        TFileStream f(path, fmOpenReadWrite | fmShareDenyNone);
        f.Seek(0, soEnd);
        f.WriteBuffer(std::string("!"));
        f.SetPosition(0);
        std::string s(6, '\0');
        f.ReadBuffer(s.data(), 6);
        EXPECT_EQ(s, "hello!");
    }
    std::remove(path.c_str());
}

TEST(FileStream, OpenAndCreateFailuresNameTheFileAndTheReason) {
    try {
        TFileStream f("/nonexistent-dir/x", fmOpenRead);
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file \"/nonexistent-dir/x\". No such file or directory");
    }
    EXPECT_THROW(TFileStream("/nonexistent-dir/x", fmCreate), EFCreateError);
}

TEST(FileStream, AFullDiskIsAWriteErrorNotASilentShortFile) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP();
    TFileStream f("/dev/full", fmOpenWrite);
    try {
        f.WriteBuffer(std::string(10, 'a'));
        FAIL();
    } catch (const EWriteError& e) {
        EXPECT_NE(e.Message().find("No space left on device"), std::string::npos);
    }
}

TEST(NullStream, DiscardsWritesAndAnswersEverySeekWithZero) {
    TclNullStream n;
    EXPECT_EQ(n.Write("abc", 3), 3);
    EXPECT_EQ(n.Seek(10, soBeginning), 0);
    EXPECT_EQ(n.GetSize(), 0);
    char c;
    EXPECT_EQ(n.Read(&c, 1), 0);
}

TEST(StringStream, HoldsTextInItsCharSet) {
    TStringStream s("abc\xc3\xa9", "utf-8");
    EXPECT_EQ(s.GetSize(), 5);
    EXPECT_EQ(s.DataString(), "abc\xc3\xa9");
    TStringStream w("\xc3\xa9", "windows-1252");
    ASSERT_EQ(w.GetSize(), 1);
    EXPECT_EQ(w.Bytes()[0], 0xE9);
    EXPECT_EQ(w.DataString(), "\xc3\xa9");
}

TEST(StringList, TextSplitsAtAnyLineBreakAndJoinsWithCrLf) {
    TStringList l;
    l.SetText("a\r\nb\rc\nd\r\n");
    ASSERT_EQ(l.Count(), 4);
    EXPECT_EQ(l[1], "b");
    EXPECT_EQ(l[3], "d");
    EXPECT_EQ(l.Text(), "a\r\nb\r\nc\r\nd\r\n");
    l.SetText("x\n\ny");
    EXPECT_EQ(l.Count(), 3);
    EXPECT_EQ(l[1], "");
}

TEST(StringList, LookupsFollowTheCaseRule) {
    TStringList l{"Content-Type=text/html", "Host=h"};
    EXPECT_EQ(l.IndexOf("host=H"), 1);
    EXPECT_EQ(l.Values("content-type"), "text/html");
    l.SetCaseSensitive(true);
    EXPECT_EQ(l.IndexOf("host=H"), -1);
    EXPECT_EQ(l.IndexOfName("content-type"), -1);
    l.SetValue("Host", "");
    EXPECT_EQ(l.Count(), 1);
}

TEST(StringList, ObjectsTravelWithTheirLinesAndChangesFireOncePerUpdate) {
    TObject a, b;
    TStringList l;
    int changes = 0;
    l.OnChange = [&](TObject*) { ++changes; };
    l.BeginUpdate();
    l.AddObject("one", &a);
    l.AddObject("two", &b);
    l.Exchange(0, 1);
    l.EndUpdate();
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(l.Objects(0), &b);
    EXPECT_EQ(l.IndexOfObject(&a), 1);
    l.Delete(0);
    EXPECT_EQ(changes, 2);
    EXPECT_THROW(l.Get(5), Exception);
}

TEST(Assertion, NamesTheModuleUnderCommon) {
    try {
        ClAssert(false, "clSocket", 508);
        FAIL();
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.Message(), "Assertion failure");
        EXPECT_EQ(e.Source(), "common\\clSocket");
        EXPECT_EQ(e.Line(), 508);
    }
    EXPECT_NO_THROW(ClAssert(true, "clSocket", 1));
}

TEST(StrUtils, IntegerParsingRejectsTrailingTextAndOverflow) {
    EXPECT_EQ(StrToIntDef("8443", 0), 8443);
    EXPECT_EQ(StrToIntDef("-5", 0), -5);
    EXPECT_EQ(StrToIntDef("12a", 7), 7);
    EXPECT_EQ(StrToIntDef("99999999999", 7), 7);
    EXPECT_EQ(StrToIntDef("", 7), 7);
    EXPECT_EQ(StrToInt64Def("99999999999", 0), 99999999999LL);
    EXPECT_EQ(Trim(" \t x \r\n"), "x");
    EXPECT_EQ(FindText("NAME", "filename=a"), 4u);
    EXPECT_EQ(IntToHex(0x1F, 4), "001F");
}
