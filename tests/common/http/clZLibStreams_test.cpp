#include <gtest/gtest.h>

#include <zlib.h>

#include <random>
#include <set>

#include "http/clChecksum.h"
#include "http/clInflate.h"
#include "http/clZLibBase.h"
#include "http/clZLibStreams.h"
#include "support/GzipTestData.h"

using namespace cl;
using cltest::Bytes;

namespace {

// Writes AData in the given piece sizes (cycled) and returns the output.
Bytes Inflate(const Bytes& AData, const std::vector<size_t>& APieces = {}) {
    TMemoryStream out;
    TclGZipInflateStream gz(out);
    size_t pos = 0;
    for (size_t k = 0; pos < AData.size(); ++k) {
        size_t n = APieces.empty() ? AData.size() : APieces[k % APieces.size()];
        n = std::min(n, AData.size() - pos);
        EXPECT_EQ(gz.Write(AData.data() + pos, static_cast<int64_t>(n)), static_cast<int64_t>(n));
        pos += n;
    }
    EXPECT_EQ(gz.GetPosition(), static_cast<int64_t>(AData.size()));
    return out.Bytes();
}

int ErrorCodeOf(const Bytes& AData, Bytes* AOutput = nullptr) {
    TMemoryStream out;
    TclGZipInflateStream gz(out);
    try {
        gz.WriteBuffer(AData);
    } catch (const EclZLibError& e) {
        if (AOutput) *AOutput = out.Bytes();
        EXPECT_EQ(e.Message(), ZLibErrorMessage(e.ErrorCode()));
        return e.ErrorCode();
    }
    if (AOutput) *AOutput = out.Bytes();
    return 0;
}

Bytes WithRawDeflate(const Bytes& ADeflate) { return cltest::GzipMember(Bytes{}, ADeflate); }

}  // namespace

TEST(Checksum, KnownValuesAndPieceWiseUpdates) {
    const std::string text = "123456789";
    TclCrc32 crc;
    EXPECT_EQ(crc.Value(), 0u);
    crc.Update(text.data(), text.size());
    EXPECT_EQ(crc.Value(), 0xCBF43926u);
    crc.Reset();
    for (char c : text) crc.Update(static_cast<uint8_t>(c));
    EXPECT_EQ(crc.Value(), 0xCBF43926u);

    TclAdler32 adler;
    EXPECT_EQ(adler.Value(), 1u);
    adler.Update("Wikipedia", 9);
    EXPECT_EQ(adler.Value(), 0x11E60398u);
    // Long runs of 0xFF exercise the modulo reduction.
    const Bytes ff(100000, 0xFF);
    adler.Reset();
    adler.Update(ff.data(), ff.size());
    EXPECT_EQ(adler.Value(), static_cast<uint32_t>(adler32(1, ff.data(), static_cast<uInt>(ff.size()))));
}

TEST(ZLibErrors, TableHoldsEveryCodeOnceWithTheExactTexts) {
    int count = 0;
    const TclCodeText* table = ZLibErrorTable(count);
    EXPECT_EQ(count, 19);
    std::set<int> codes;
    for (int i = 0; i < count; ++i) codes.insert(table[i].Code);
    EXPECT_EQ(codes.size(), static_cast<size_t>(count));
    EXPECT_EQ(ZLibErrorMessage(-101), "Old input was not completely processed");
    EXPECT_EQ(ZLibErrorMessage(-119), "Adler chksum doesn't match");
    EXPECT_EQ(ZLibErrorMessage(-120), "Unknown block type ");
    EXPECT_EQ(ZLibErrorMessage(-122), "Need a dictionary");
}

TEST(GzipStream, EverySplitPointGivesTheSameOutput) {
    const Bytes original = cltest::SampleText(3000);
    const Bytes gz = cltest::Gzip(original, {true, true, true, true});
    ASSERT_EQ(Inflate(gz), original);
    ASSERT_EQ(Inflate(gz, {1}), original);
    for (size_t cut = 1; cut < gz.size(); ++cut) {
        TMemoryStream out;
        TclGZipInflateStream s(out);
        s.Write(gz.data(), static_cast<int64_t>(cut));
        s.Write(gz.data() + cut, static_cast<int64_t>(gz.size() - cut));
        ASSERT_EQ(out.Bytes(), original) << "split at " << cut;
    }
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        std::vector<size_t> pieces;
        for (int k = 0; k < 20; ++k) pieces.push_back(1 + rng() % 300);
        ASSERT_EQ(Inflate(gz, pieces), original);
    }
}

TEST(GzipStream, HeaderSpanningThreeWritesWithAllOptionalFields) {
    const Bytes original = cltest::SampleText(500, 3);
    const Bytes gz = cltest::Gzip(original, {true, true, true, true});
    // 10 fixed + 7 extra + 9 name + 10 comment + 2 crc = 38 header bytes
    EXPECT_EQ(Inflate(gz, {12, 14, 20, 100000}), original);
    EXPECT_EQ(Inflate(cltest::Gzip(original, {false, true, false, false}), {3}), original);
}

TEST(GzipStream, GarbageAfterTheMemberIsIgnoredAndFurtherMembersDecode) {
    const Bytes a = cltest::SampleText(700, 4);
    const Bytes b = cltest::SampleText(900, 5);
    Bytes gz = cltest::Gzip(a);
    Bytes withGarbage = gz;
    withGarbage.insert(withGarbage.end(), {'j', 'u', 'n', 'k', 0x1f});
    EXPECT_EQ(Inflate(withGarbage), a);
    EXPECT_EQ(Inflate(withGarbage, {1}), a);
    Bytes zeros = gz;
    zeros.insert(zeros.end(), 64, 0);
    EXPECT_EQ(Inflate(zeros, {5}), a);

    Bytes two = gz;
    const Bytes second = cltest::Gzip(b);
    two.insert(two.end(), second.begin(), second.end());
    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());
    EXPECT_EQ(Inflate(two), both);
    EXPECT_EQ(Inflate(two, {7, 1, 13}), both);
}

TEST(GzipStream, FinishRefusesAMemberCutAnywhereAndABodyThatIsNotGzip) {
    const Bytes text = cltest::SampleText(3000, 6);
    const Bytes gz = cltest::Gzip(text);
    auto finishCode = [](const Bytes& AData) {
        TMemoryStream out;
        TclGZipInflateStream stream(out);
        try {
            stream.WriteBuffer(AData);
            stream.Finish();
        } catch (const EclZLibError& e) {
            return e.ErrorCode();
        }
        return 0;
    };
    EXPECT_EQ(finishCode(gz), 0);
    EXPECT_EQ(finishCode(Bytes{}), 0) << "an empty body is complete";
    Bytes garbage = gz;
    garbage.insert(garbage.end(), {'j', 'u', 'n', 'k'});
    EXPECT_EQ(finishCode(garbage), 0);
    for (size_t cut = 1; cut < gz.size(); ++cut) {
        EXPECT_EQ(finishCode(Bytes(gz.begin(), gz.begin() + static_cast<std::ptrdiff_t>(cut))), zlInvalidDataSize)
            << cut;
    }
    const std::string plain = "<html><body>not compressed at all</body></html>";
    EXPECT_NE(finishCode(Bytes(plain.begin(), plain.end())), 0);
}

TEST(GzipStream, TrailerChecksRaiseAfterAllDataWasWritten) {
    const Bytes original = cltest::SampleText(2000, 6);
    Bytes gz = cltest::Gzip(original);
    Bytes badCrc = gz;
    badCrc[badCrc.size() - 8] ^= 1;
    Bytes out;
    EXPECT_EQ(ErrorCodeOf(badCrc, &out), zlInvalidCrc);
    EXPECT_EQ(out, original);
    Bytes badSize = gz;
    badSize[badSize.size() - 1] ^= 0x80;
    EXPECT_EQ(ErrorCodeOf(badSize, &out), zlInvalidDataSize);
    EXPECT_EQ(out, original);
}

TEST(GzipStream, BrokenDeflateDataMapsToItsCode) {
    EXPECT_EQ(ErrorCodeOf(WithRawDeflate({0x01, 0x05, 0x00, 0x00, 0x00})), zlBrokenStoredBlock);
    EXPECT_EQ(ErrorCodeOf(WithRawDeflate({0x07, 0x00})), zlUnknownBlockType);
    {
        cltest::BitWriter w;
        w.Bits(1, 1);
        w.Bits(1, 2);
        w.FixedSymbol(286);
        EXPECT_EQ(ErrorCodeOf(WithRawDeflate(w.Finish())), zlIllegalRepLength);
    }
    {
        cltest::BitWriter w;
        w.Bits(1, 1);
        w.Bits(1, 2);
        w.FixedSymbol('a');
        w.FixedSymbol(257);
        w.Code(30, 5);
        EXPECT_EQ(ErrorCodeOf(WithRawDeflate(w.Finish())), zlIllegalRepDistance);
    }
    // A stored block with a matching NLEN passes.
    Bytes out;
    EXPECT_EQ(ErrorCodeOf(cltest::GzipMember({'h', 'i'}, {0x01, 0x02, 0x00, 0xFD, 0xFF, 'h', 'i'}), &out), 0);
    EXPECT_EQ(out, (Bytes{'h', 'i'}));
}

TEST(GzipStream, AFailedStreamKeepsFailing) {
    TMemoryStream out;
    TclGZipInflateStream gz(out);
    const Bytes bad = WithRawDeflate({0x07, 0x00});
    EXPECT_THROW(gz.WriteBuffer(bad), EclZLibError);
    try {
        gz.Write(bad.data(), 1);
        FAIL();
    } catch (const EclZLibError& e) {
        EXPECT_EQ(e.ErrorCode(), zlUnknownBlockType);
    }
}

TEST(GzipStream, SeekAnswersOnlyAtTheEndAndReadGivesNothing) {
    TclNullStream null;
    TclGZipInflateStream gz(null);
    const Bytes data = cltest::Gzip(cltest::SampleText(100));
    gz.Write(data.data(), 15);
    EXPECT_EQ(gz.Seek(0, soCurrent), 15);
    EXPECT_EQ(gz.Seek(15, soBeginning), 15);
    EXPECT_EQ(gz.Seek(0, soEnd), 15);
    EXPECT_EQ(gz.GetSize(), 15);
    char c;
    EXPECT_EQ(gz.Read(&c, 1), 0);
    try {
        gz.Seek(0, soBeginning);
        FAIL();
    } catch (const EclZLibError& e) {
        EXPECT_EQ(e.ErrorCode(), zlInvalidStreamOperation);
        EXPECT_EQ(e.Message(), "Invalid Stream operation");
    }
}

namespace {

class CountingStream : public TclNullStream {
public:
    int64_t Write(const void*, int64_t ACount) override {
        Count += ACount;
        return ACount;
    }
    int64_t Count = 0;
};

}  // namespace

// 4 GiB + a little of zero bytes: one literal, then length-258 matches at
// distance 1, all in one fixed-Huffman block.
TEST(GzipStream, OutputOver4GiBChecksISizeModulo2To32) {
    const uint64_t matches = 16650000;
    const uint64_t size = 1 + 258 * matches;
    ASSERT_GT(size, 1ull << 32);
    cltest::BitWriter w;
    w.Reserve(static_cast<size_t>(matches * 13 / 8 + 16));
    w.Bits(1, 1);
    w.Bits(1, 2);
    w.FixedSymbol(0);
    // Symbol 285 (8 bits) then distance code 0 (5 bits), as one 13-bit field.
    cltest::BitWriter pattern;
    pattern.FixedSymbol(285);
    pattern.Code(0, 5);
    const Bytes p = pattern.Finish();
    const uint32_t bits = p[0] | (static_cast<uint32_t>(p[1]) << 8);
    for (uint64_t i = 0; i < matches; ++i) w.Bits(bits, 13);
    w.FixedSymbol(256);
    Bytes gz{0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
    const Bytes deflate = w.Finish();
    gz.insert(gz.end(), deflate.begin(), deflate.end());
    // CRC of the zeros by doubling a 1 MiB block.
    const Bytes block(1 << 20, 0);
    const uLong blockCrc = crc32(0, block.data(), static_cast<uInt>(block.size()));
    uLong crc = 0;
    uint64_t left = size;
    for (; left >= block.size(); left -= block.size()) crc = crc32_combine(crc, blockCrc, block.size());
    crc = crc32(crc, block.data(), static_cast<uInt>(left));
    cltest::PutLE32(gz, static_cast<uint32_t>(crc));
    cltest::PutLE32(gz, static_cast<uint32_t>(size));

    CountingStream out;
    TclGZipInflateStream s(out);
    for (size_t pos = 0; pos < gz.size(); pos += 1 << 20) {
        s.WriteBuffer(gz.data() + pos, static_cast<int64_t>(std::min<size_t>(1 << 20, gz.size() - pos)));
    }
    EXPECT_EQ(out.Count, static_cast<int64_t>(size));
}

TEST(Inflater, ZLibWrappedStreamChecksHeaderAndAdler) {
    const Bytes original = cltest::SampleText(5000, 9);
    const Bytes wrapped = cltest::RawDeflate(original, 6, 15);
    TclInflater inf;
    inf.SetInput(wrapped);
    Bytes out(original.size() + 10);
    int n = 0;
    while (!inf.IsFinished()) {
        const int got = inf.Inflate(out.data(), n, 100);
        ASSERT_GT(got, 0);
        n += got;
    }
    out.resize(static_cast<size_t>(n));
    EXPECT_EQ(out, original);
    EXPECT_EQ(inf.Adler(), static_cast<uint32_t>(adler32(1, original.data(), static_cast<uInt>(original.size()))));
    EXPECT_EQ(inf.TotalIn(), static_cast<int64_t>(wrapped.size()));
    EXPECT_EQ(inf.TotalOut(), static_cast<int64_t>(original.size()));

    auto codeOf = [](Bytes AData) {
        TclInflater i;
        i.SetInput(AData);
        Bytes buf(1 << 16);
        try {
            while (!i.IsFinished() && i.Inflate(buf) > 0) {
            }
        } catch (const EclZLibError& e) {
            return e.ErrorCode();
        }
        return 0;
    };
    Bytes badCheck = wrapped;
    badCheck[1] ^= 1;
    EXPECT_EQ(codeOf(badCheck), zlHeaderChecksum);
    Bytes badMethod = {0x79, 0x00};  // method 9, header still a multiple of 31
    badMethod[1] = static_cast<uint8_t>(31 - (0x7900 % 31));
    EXPECT_EQ(codeOf(badMethod), zlUnknownMethod);
    Bytes badAdler = wrapped;
    badAdler.back() ^= 1;
    EXPECT_EQ(codeOf(badAdler), zlAdlerMismatch);
}

TEST(Inflater, PresetDictionaryIsAwaitedAndChecked) {
    const std::string dict = "video segment comment";
    const Bytes original = {'v', 'i', 'd', 'e', 'o', ' ', 'c', 'o', 'm', 'm', 'e', 'n', 't'};
    z_stream z{};
    deflateInit(&z, 9);
    deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(dict.data()), static_cast<uInt>(dict.size()));
    Bytes wrapped(256);
    z.next_in = const_cast<Bytef*>(original.data());
    z.avail_in = static_cast<uInt>(original.size());
    z.next_out = wrapped.data();
    z.avail_out = static_cast<uInt>(wrapped.size());
    deflate(&z, Z_FINISH);
    wrapped.resize(z.total_out);
    deflateEnd(&z);

    TclInflater inf;
    const auto* d = reinterpret_cast<const uint8_t*>(dict.data());
    EXPECT_THROW(inf.SetDictionary(d, 0, 3), EclZLibError);  // not asked for yet
    inf.SetInput(wrapped);
    Bytes out(64);
    EXPECT_EQ(inf.Inflate(out), 0);
    ASSERT_TRUE(inf.IsNeedingDictionary());
    try {
        inf.SetDictionary(d, 0, 5);
        FAIL();
    } catch (const EclZLibError& e) {
        EXPECT_EQ(e.ErrorCode(), zlAdlerMismatch);
    }
    inf.SetDictionary(d, 0, static_cast<int>(dict.size()));
    const int n = inf.Inflate(out);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + n), original);
    EXPECT_TRUE(inf.IsFinished());
}

TEST(Inflater, InputRulesAndRawModeAcrossPieces) {
    const Bytes original = cltest::SampleText(20000, 11);
    const Bytes raw = cltest::RawDeflate(original);
    TclInflater inf(true);
    EXPECT_TRUE(inf.IsNeedingInput());
    try {
        inf.SetInput(raw.data(), -1, 2);
        FAIL();
    } catch (const EclZLibError& e) {
        EXPECT_EQ(e.ErrorCode(), zlArgumentOutOfRange);
    }
    inf.SetInput(raw.data(), 0, 2000);
    Bytes out(original.size());
    int n = inf.Inflate(out.data(), 0, 10);
    ASSERT_GT(inf.RemainingInput(), 0);
    try {
        inf.SetInput(raw.data(), 2000, 10);
        FAIL();
    } catch (const EclZLibError& e) {
        EXPECT_EQ(e.ErrorCode(), zlOldInputNotProcessed);
    }
    size_t pos = 2000;
    while (!inf.IsFinished()) {
        if (inf.IsNeedingInput()) {
            const int len = static_cast<int>(std::min<size_t>(7, raw.size() - pos));
            inf.SetInput(raw.data(), static_cast<int>(pos), len);
            pos += static_cast<size_t>(len);
        }
        n += inf.Inflate(out.data(), n, std::min(333, static_cast<int>(out.size()) - n));
    }
    EXPECT_EQ(out, original);
    inf.Reset();
    EXPECT_FALSE(inf.IsFinished());
    EXPECT_EQ(inf.TotalOut(), 0);
}
