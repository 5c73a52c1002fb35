#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "transport/clCertificate.h"
#include "transport/clSspi.h"
#include "transport/clSspiTls.h"
#include "support/TlsTestPki.h"

using namespace cl;
using namespace cltest;

namespace {

std::string Text(const TMemoryStream& AStream) { return std::string(AStream.Bytes().begin(), AStream.Bytes().end()); }

void SetText(TMemoryStream& AStream, const std::string& AText) {
    AStream.Clear();
    AStream.WriteBuffer(AText);
    AStream.SetPosition(0);
}

// A server engine over memory buffers, driven by hand.
class TMemoryServer {
public:
    explicit TMemoryServer(const TTestCertificate& ACert, int AMaxVersion = 0, int AVerifyMode = SSL_VERIFY_NONE,
                           const std::string& AClientCa = std::string()) {
        FCtx = SSL_CTX_new(TLS_server_method());
        auto cert = TclCertificate::CreateFromPem(ACert.CertificatePem, ACert.KeyPem);
        SSL_CTX_use_certificate(FCtx, cert->Context());
        SSL_CTX_use_PrivateKey(FCtx, cert->Key());
        if (AMaxVersion) SSL_CTX_set_max_proto_version(FCtx, AMaxVersion);
        SSL_CTX_set_verify(FCtx, AVerifyMode, nullptr);
        if (!AClientCa.empty()) {
            auto ca = TclCertificate::CreateFromPem(AClientCa);
            X509_STORE_add_cert(SSL_CTX_get_cert_store(FCtx), ca->Context());
        }
        FSsl = SSL_new(FCtx);
        FIn = BIO_new(BIO_s_mem());
        FOut = BIO_new(BIO_s_mem());
        BIO_set_mem_eof_return(FIn, -1);
        SSL_set_bio(FSsl, FIn, FOut);
        SSL_set_accept_state(FSsl);
    }
    ~TMemoryServer() {
        SSL_free(FSsl);
        SSL_CTX_free(FCtx);
    }
    // Takes the client's bytes, advances the handshake; the bytes to send back.
    std::string Step(const std::string& AFromClient) {
        BIO_write(FIn, AFromClient.data(), static_cast<int>(AFromClient.size()));
        if (!SSL_is_init_finished(FSsl)) {
            const int r = SSL_do_handshake(FSsl);
            if (r != 1) Failed = SSL_get_error(FSsl, r) == SSL_ERROR_SSL;
        } else if (BIO_ctrl_pending(FIn) > 0) {
            // A renegotiation runs inside reads.
            char buf[256];
            while (SSL_read(FSsl, buf, sizeof buf) > 0) {
            }
            ERR_clear_error();
        }
        return Drain();
    }
    std::string Records(const std::string& APlain) {
        SSL_write(FSsl, APlain.data(), static_cast<int>(APlain.size()));
        return Drain();
    }
    std::string Plain(const std::string& AFromClient, int* AError = nullptr) {
        BIO_write(FIn, AFromClient.data(), static_cast<int>(AFromClient.size()));
        std::string out;
        char buf[4096];
        int n;
        while ((n = SSL_read(FSsl, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
        if (AError) *AError = SSL_get_error(FSsl, n);
        ERR_clear_error();
        return out;
    }
    std::string Drain() {
        std::string s;
        char buf[4096];
        int n;
        while ((n = BIO_read(FOut, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
        return s;
    }
    SSL* Ssl() const { return FSsl; }
    bool Failed = false;

private:
    SSL_CTX* FCtx;
    SSL* FSsl;
    BIO* FIn;
    BIO* FOut;
};

struct TPki {
    TTestCa Ca;
    TTestCertificate Good;
    TPki() : Ca("Session Test CA"), Good(Ca.Issue(TLeafOptions{})) {}
};

TPki& Pki() {
    static TPki pki;
    return pki;
}

class SspiTls : public ::testing::Test {
protected:
    void SetUp() override {
        ClearTrustAnchors();
        AddTrustAnchorsPem(Pki().Ca.CertificatePem());
    }
    void TearDown() override { ClearTrustAnchors(); }

    // Runs the handshake to its end, feeding the server's bytes in chunks of
    // AChunk (0: whole flights). The last result.
    TclSspiReturnCode Handshake(TclTlsClientSspi& AClient, TMemoryServer& AServer, size_t AChunk = 0,
                                const TclCertificateList* ACerts = nullptr) {
        TclCertificateList none(false);
        const TclCertificateList& certs = ACerts ? *ACerts : none;
        TMemoryStream buf;
        TclSspiReturnCode rc = AClient.GenContext(buf, certs, false);
        EXPECT_EQ(rc, rcAuthContinueNeeded);
        std::string toServer = Text(buf);
        for (int turn = 0; turn < 50; ++turn) {
            const std::string reply = AServer.Step(toServer);
            toServer.clear();
            if (reply.empty()) return rc;
            size_t at = 0;
            buf.Clear();
            while (at < reply.size()) {
                const size_t n = AChunk ? std::min(AChunk, reply.size() - at) : reply.size() - at;
                buf.Seek(0, soEnd);
                const int64_t keep = buf.GetPosition();
                buf.WriteBuffer(reply.data() + at, static_cast<int64_t>(n));
                buf.SetPosition(keep == 0 ? 0 : 0);
                at += n;
                rc = AClient.GenContext(buf, certs, false);
                if (rc == rcCredentialNeeded) rc = AClient.GenContext(buf, certs, true);
                if (rc == rcAuthContinueNeeded) {
                    toServer += Text(buf);
                    buf.Clear();
                } else if (rc == rcOK || rc == rcEncodeNeeded) {
                    TMemoryStream fin;
                    if (AClient.TakeFinalToken(fin)) toServer += Text(fin);
                } else {
                    EXPECT_EQ(rc, rcAuthMoreDataNeeded);
                }
            }
            if (rc == rcOK || rc == rcEncodeNeeded) {
                // Our last flight; what the server sends after it (session
                // tickets) is ordinary record traffic.
                const std::string after = toServer.empty() ? std::string() : AServer.Step(toServer);
                if (!after.empty()) {
                    TMemoryStream wire, plain;
                    wire.WriteBuffer(after);
                    wire.SetPosition(0);
                    EXPECT_EQ(AClient.Decrypt(wire, plain, wire), rcOK);
                    EXPECT_EQ(plain.GetSize(), 0);
                }
                return rc;
            }
        }
        return rc;
    }

    std::unique_ptr<TclTlsClientSspi> Client(const std::string& ATarget = "localhost") {
        auto c = std::make_unique<TclTlsClientSspi>();
        c->SetTargetName(ATarget);
        return c;
    }
};

}  // namespace

TEST_F(SspiTls, HandshakeWithTrustedServerCertifiesAndCarriesDataBothWays) {
    for (int maxVersion : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        SCOPED_TRACE(maxVersion);
        TMemoryServer server(Pki().Good, maxVersion);
        auto client = Client();
        ASSERT_EQ(Handshake(*client, server), rcOK);
        server.Step("");
        EXPECT_TRUE(SSL_is_init_finished(server.Ssl()));
        EXPECT_TRUE(client->Certified());
        EXPECT_EQ(client->StatusCode(), 0);
        ASSERT_NE(client->PeerCertificate(), nullptr);
        EXPECT_EQ(client->PeerCertificate()->IssuedTo(), "localhost");
        EXPECT_EQ(SSL_version(client->CtxtHandle()), maxVersion);
        EXPECT_EQ(client->StreamSizes().cbHeader, maxVersion == TLS1_3_VERSION ? 5u : 13u);
        EXPECT_EQ(client->StreamSizes().cbMaximumMessage, 16384u);

        // Plaintext larger than one record: the records come back whole.
        const std::string request(40000, 'q');
        TMemoryStream source, records;
        SetText(source, request);
        source.SetPosition(0);
        EXPECT_EQ(client->Encrypt(source, records, static_cast<int64_t>(request.size())), rcOK);
        EXPECT_EQ(source.GetPosition(), 0);
        EXPECT_EQ(records.GetPosition(), 0);
        EXPECT_EQ(server.Plain(Text(records)), request);

        TMemoryStream wire, plain;
        SetText(wire, server.Records("hello client"));
        EXPECT_EQ(client->Decrypt(wire, plain, wire), rcOK);
        EXPECT_EQ(Text(plain), "hello client");
    }
}

TEST_F(SspiTls, HandshakeSurvivesTheServerBytesSplitAnywhere) {
    for (size_t chunk : {1, 2, 5, 6, 333}) {
        SCOPED_TRACE(chunk);
        TMemoryServer server(Pki().Good);
        auto client = Client();
        EXPECT_EQ(Handshake(*client, server, chunk), rcOK);
        EXPECT_TRUE(client->Certified());
    }
}

TEST_F(SspiTls, RefusedCertificatesCarryThePolicyErrorAndTheirIgnoreFlagAcceptsThem) {
    TLeafOptions expired;
    expired.NotBeforeSeconds = -10 * 86400;
    expired.NotAfterSeconds = -86400;
    TLeafOptions other;
    other.CommonName = "other.example";
    other.DnsNames = {"other.example"};
    other.IpAddresses = {};
    struct TCase {
        const char* Name;
        TTestCertificate Cert;
        std::string Target;
        int32_t Status;
        TclCertificateVerifyFlag Ignore;
    };
    const TCase cases[] = {
        {"self-signed", MakeSelfSigned(TLeafOptions{}), "localhost", SspiStatus::CertUntrustedRoot,
         cfIgnoreUnknownAuthority},
        {"other name", Pki().Ca.Issue(other), "localhost", SspiStatus::CertCnNoMatch, cfIgnoreCommonNameInvalid},
        {"expired", Pki().Ca.Issue(expired), "localhost", SspiStatus::CertExpired, cfIgnoreDateInvalid},
        {"no target name", Pki().Good, DefaultTargetName(), SspiStatus::CertCnNoMatch, cfIgnoreCommonNameInvalid},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        {
            TMemoryServer server(c.Cert);
            auto client = Client(c.Target);
            ASSERT_EQ(Handshake(*client, server), rcOK);
            EXPECT_FALSE(client->Certified());
            EXPECT_EQ(client->StatusCode(), c.Status);
        }
        {
            TMemoryServer server(c.Cert);
            auto client = Client(c.Target);
            client->SetCertificateFlags({c.Ignore});
            ASSERT_EQ(Handshake(*client, server), rcOK);
            EXPECT_TRUE(client->Certified()) << std::hex << client->StatusCode();
        }
    }
    // An address target is checked against the certificate's addresses.
    TMemoryServer server(Pki().Good);
    auto client = Client("127.0.0.1");
    ASSERT_EQ(Handshake(*client, server), rcOK);
    EXPECT_TRUE(client->Certified());
    // Without the anchor the same certificate is from an unknown issuer.
    ClearTrustAnchors();
    TMemoryServer server2(Pki().Good);
    auto client2 = Client();
    ASSERT_EQ(Handshake(*client2, server2), rcOK);
    EXPECT_EQ(client2->StatusCode(), SspiStatus::CertChaining);
}

TEST_F(SspiTls, DecryptKeepsIncompleteRecordsAndDecryptsEverythingComplete) {
    TMemoryServer server(Pki().Good);
    auto client = Client();
    ASSERT_EQ(Handshake(*client, server), rcOK);
    server.Step("");
    const std::string r1 = server.Records("first record");
    TMemoryStream buf, plain;

    // One record in two pieces: nothing until the rest arrives.
    SetText(buf, r1.substr(0, 9));
    EXPECT_EQ(client->Decrypt(buf, plain, buf), rcMoreDataNeeded);
    EXPECT_EQ(Text(buf), r1.substr(0, 9));
    EXPECT_EQ(plain.GetSize(), 0);
    buf.Seek(0, soEnd);
    buf.WriteBuffer(r1.substr(9));
    buf.SetPosition(0);
    EXPECT_EQ(client->Decrypt(buf, plain, buf), rcOK);
    EXPECT_EQ(Text(plain), "first record");

    // Two records and a piece of a third in one input.
    const std::string r3 = server.Records("third");
    const std::string r4 = server.Records("fourth");
    plain.Clear();
    SetText(buf, r3 + r4 + r1.substr(0, 3));
    EXPECT_EQ(client->Decrypt(buf, plain, buf), rcContinueAndMoreDataNeeded);
    EXPECT_EQ(Text(plain), "thirdfourth");
    EXPECT_EQ(Text(buf), r1.substr(0, 3));
    EXPECT_EQ(buf.GetPosition(), 0);

    // Five bytes or fewer: the engine is not even asked.
    plain.Clear();
    const std::string r2 = server.Records("second");
    SetText(buf, r2.substr(0, 5));
    EXPECT_EQ(client->Decrypt(buf, plain, buf), rcMoreDataNeeded);
    buf.Seek(0, soEnd);
    buf.WriteBuffer(r2.substr(5));
    buf.SetPosition(0);
    EXPECT_EQ(client->Decrypt(buf, plain, buf), rcOK);
    EXPECT_EQ(Text(plain), "second");

    // A separate source leaves its position alone.
    TMemoryStream source, extra;
    const std::string r5 = server.Records("fifth");
    SetText(source, "xx" + r5);
    source.SetPosition(2);
    plain.Clear();
    EXPECT_EQ(client->Decrypt(source, plain, extra), rcOK);
    EXPECT_EQ(source.GetPosition(), 2);
    EXPECT_EQ(Text(plain), "fifth");
}

TEST_F(SspiTls, DecryptRecordsInPlaceTakesWholeRecordsOnlyAtAnySplitAndStopsWhenThePlaintextRoomIsFull) {
    TMemoryServer server(Pki().Good);
    auto client = Client();
    ASSERT_EQ(Handshake(*client, server), rcOK);
    server.Step("");
    const std::string big(TclTlsSspi::kMaxRecordPlaintext, 'x');  // one full record
    const std::string expected = "alpha" + big + "gamma";
    std::vector<uint8_t> plain(2 * TclTlsSspi::kMaxRecordPlaintext);
    // The record lengths do not change from one encryption to the next: the
    // splits are chosen once, every byte near both ends and some between.
    const size_t wireSize = [&] {
        std::string probe = server.Records("alpha");
        probe += server.Records(big);
        probe += server.Records("gamma");
        TMemoryStream buf, out;
        SetText(buf, probe);
        EXPECT_EQ(client->Decrypt(buf, out, buf), rcOK);
        return probe.size();
    }();
    std::vector<size_t> splits;
    for (size_t split = 0; split <= wireSize; ++split)
        if (split <= 40 || wireSize - split <= 40 || split % 499 == 0) splits.push_back(split);
    for (const size_t split : splits) {
        // Fresh records every time (a record decrypts once).
        std::string wire;
        std::vector<size_t> ends;  // where each record ends
        for (const std::string& t : {std::string("alpha"), big, std::string("gamma")}) {
            wire += server.Records(t);
            ends.push_back(wire.size());
        }
        ASSERT_EQ(wire.size(), wireSize);
        // The wire arrives in two pieces; what was not taken stays in front
        // of the rest, as in the stream's buffer.
        const auto* bytes = reinterpret_cast<const uint8_t*>(wire.data());
        std::string got;
        size_t taken = 0;
        size_t arrived = split;
        for (int turn = 0; turn < 10 && taken < wireSize; ++turn) {
            const TclTlsSspi::TDecryptStep step =
                client->DecryptRecords(bytes + taken, arrived - taken, plain.data(), plain.size());
            got.append(reinterpret_cast<const char*>(plain.data()), step.Plain);
            taken += step.Consumed;
            ASSERT_TRUE(step.Code == rcOK || step.Code == rcMoreDataNeeded) << split;
            EXPECT_EQ(step.Code == rcOK, taken == arrived) << split;
            EXPECT_TRUE(taken == 0 || std::find(ends.begin(), ends.end(), taken) != ends.end())
                << "a piece of a record was taken, split at " << split;
            if (step.Consumed == 0) arrived = wireSize;  // the rest arrives
        }
        ASSERT_EQ(got, expected) << "split at " << split;
    }

    // Room for less than a whole record's plaintext: nothing is taken.
    const std::string more = server.Records("delta");
    const auto* moreBytes = reinterpret_cast<const uint8_t*>(more.data());
    TclTlsSspi::TDecryptStep step =
        client->DecryptRecords(moreBytes, more.size(), plain.data(), TclTlsSspi::kMaxRecordPlaintext - 1);
    EXPECT_EQ(step.Code, rcMoreDataNeeded);
    EXPECT_EQ(step.Consumed, 0u);
    EXPECT_EQ(step.Plain, 0u);
    // Room for one record: one at a time, the call says more waits.
    const std::string two = more + server.Records("epsilon");
    const auto* twoBytes = reinterpret_cast<const uint8_t*>(two.data());
    step = client->DecryptRecords(twoBytes, two.size(), plain.data(), TclTlsSspi::kMaxRecordPlaintext);
    EXPECT_EQ(step.Code, rcMoreDataNeeded);
    EXPECT_EQ(step.Consumed, more.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(plain.data()), step.Plain), "delta");
    step = client->DecryptRecords(twoBytes + more.size(), two.size() - more.size(), plain.data(),
                                  TclTlsSspi::kMaxRecordPlaintext);
    EXPECT_EQ(step.Code, rcOK);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(plain.data()), step.Plain), "epsilon");

    // Bytes that are no record fail as a decryption fault.
    const uint8_t junk[8] = {0x42, 3, 3, 0, 3, 1, 2, 3};
    EXPECT_THROW(client->DecryptRecords(junk, sizeof junk, plain.data(), plain.size()), EclSSPIError);
}

TEST_F(SspiTls, ServerCloseNotificationDeliversWhatCameBeforeAndClosesTheSession) {
    TMemoryServer server(Pki().Good);
    auto client = Client();
    ASSERT_EQ(Handshake(*client, server), rcOK);
    server.Step("");
    std::string wire = server.Records("body part");
    SSL_shutdown(server.Ssl());
    wire += server.Drain();
    TMemoryStream buf, plain;
    SetText(buf, wire);
    EXPECT_EQ(client->Decrypt(buf, plain, buf), rcClosingNeeded);
    EXPECT_EQ(Text(plain), "body part");
    EXPECT_EQ(client->StatusCode(), SspiStatus::ContextExpired);
}

TEST_F(SspiTls, EndSessionMakesACloseNotificationAndStartsANewConversation) {
    TMemoryServer server(Pki().Good);
    auto client = Client();
    ASSERT_EQ(Handshake(*client, server), rcOK);
    server.Step("");
    TMemoryStream buf;
    EXPECT_EQ(client->EndSession(buf), rcCompleteNeeded);
    EXPECT_EQ(buf.GetPosition(), 0);
    int error = 0;
    server.Plain(Text(buf), &error);
    EXPECT_EQ(error, SSL_ERROR_ZERO_RETURN);
    EXPECT_FALSE(client->Certified());
    EXPECT_EQ(client->CtxtHandle(), nullptr);
    // Nothing established: no token.
    EXPECT_EQ(client->EndSession(buf), rcOK);
    // The next step is the first of a new conversation.
    TMemoryServer again(Pki().Good);
    EXPECT_EQ(Handshake(*client, again), rcOK);
    EXPECT_TRUE(client->Certified());
}

TEST_F(SspiTls, ApplicationDataRightAfterTheHandshakeIsReportedForDecryption) {
    TMemoryServer server(Pki().Good, TLS1_2_VERSION);
    auto client = Client();
    TclCertificateList none(false);
    TMemoryStream buf;
    ASSERT_EQ(client->GenContext(buf, none, false), rcAuthContinueNeeded);
    std::string reply = server.Step(Text(buf));
    SetText(buf, reply);
    ASSERT_EQ(client->GenContext(buf, none, false), rcAuthContinueNeeded);
    reply = server.Step(Text(buf));  // server Finished
    ASSERT_TRUE(SSL_is_init_finished(server.Ssl()));
    reply += server.Records("early");
    SetText(buf, reply);
    ASSERT_EQ(client->GenContext(buf, none, false), rcEncodeNeeded);
    TMemoryStream plain;
    EXPECT_EQ(client->Decrypt(buf, plain, buf), rcOK);
    EXPECT_EQ(Text(plain), "early");
}

TEST_F(SspiTls, ProtocolFlagsChooseTheVersionsOffered) {
    {
        TMemoryServer server(Pki().Good);
        auto client = Client();  // the default flags: TLS 1.2 also allows 1.3
        ASSERT_EQ(Handshake(*client, server), rcOK);
        EXPECT_EQ(SSL_version(client->CtxtHandle()), TLS1_3_VERSION);
    }
    {
        TMemoryServer server(Pki().Good, TLS1_2_VERSION);
        auto client = Client();
        client->SetTLSFlags({tfUseTLS13});
        TclCertificateList none(false);
        TMemoryStream buf;
        ASSERT_EQ(client->GenContext(buf, none, false), rcAuthContinueNeeded);
        SetText(buf, server.Step(Text(buf)));
        try {
            client->GenContext(buf, none, false);
            ADD_FAILURE() << "a TLS 1.3-only client met a TLS 1.2 server";
        } catch (const EclSSPIError& e) {
            EXPECT_EQ(e.ErrorCode(), SspiStatus::AlgorithmMismatch);
        }
    }
    {
        // SSL 2 and 3 are never offered: alone they leave nothing to offer.
        auto client = Client();
        client->SetTLSFlags({tfUseSSL2, tfUseSSL3});
        TclCertificateList none(false);
        TMemoryStream buf;
        try {
            client->GenContext(buf, none, false);
            ADD_FAILURE() << "SSL 3 alone was accepted";
        } catch (const EclSSPIError& e) {
            EXPECT_EQ(e.ErrorCode(), SspiStatus::AlgorithmMismatch);
            EXPECT_EQ(e.Message(),
                      "The client and server cannot communicate because they do not possess a common algorithm");
        }
    }
    {
        auto client = Client();
        client->SetCSP("Some Other Package");
        TclCertificateList none(false);
        TMemoryStream buf;
        EXPECT_THROW(client->GenContext(buf, none, false), EclSSPIError);
    }
}

TEST_F(SspiTls, ClientCertificateIsAskedForAndSent) {
    TLeafOptions o;
    o.CommonName = "client one";
    o.ServerAuth = false;
    o.ClientAuth = true;
    const TTestCertificate clientCert = Pki().Ca.Issue(o);
    for (int maxVersion : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        SCOPED_TRACE(maxVersion);
        TMemoryServer server(Pki().Good, maxVersion, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                             Pki().Ca.CertificatePem());
        auto client = Client();
        TclCertificateList none(false);
        TMemoryStream buf;
        ASSERT_EQ(client->GenContext(buf, none, false), rcAuthContinueNeeded);
        SetText(buf, server.Step(Text(buf)));
        TclSspiReturnCode rc = client->GenContext(buf, none, false);
        if (rc == rcAuthContinueNeeded) {  // TLS 1.2: a second server flight
            SetText(buf, server.Step(Text(buf)));
            rc = client->GenContext(buf, none, false);
        }
        ASSERT_EQ(rc, rcCredentialNeeded);
        TclCertificateList mine(true);
        mine.Add(TclCertificate::CreateFromPem(clientCert.CertificatePem, clientCert.KeyPem).release());
        rc = client->GenContext(buf, mine, true);
        std::string toServer;
        if (rc == rcAuthContinueNeeded) toServer = Text(buf);
        TMemoryStream fin;
        if (client->TakeFinalToken(fin)) toServer += Text(fin);
        const std::string reply = server.Step(toServer);
        ASSERT_TRUE(SSL_is_init_finished(server.Ssl()));
        X509* seen = SSL_get0_peer_certificate(server.Ssl());
        ASSERT_NE(seen, nullptr);
        EXPECT_EQ(X509_cmp(seen, mine.Items(0)->Context()), 0);
        if (rc == rcAuthContinueNeeded) {
            SetText(buf, reply);
            EXPECT_EQ(client->GenContext(buf, mine, true), rcOK);
        }
        EXPECT_TRUE(client->Certified());
    }
}

TEST_F(SspiTls, ServerRequiringACertificateThatGetsNoneFailsWithTheLocalCertificateError) {
    for (int maxVersion : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        SCOPED_TRACE(maxVersion);
        TMemoryServer server(Pki().Good, maxVersion, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT);
        auto client = Client();
        TclCertificateList none(false);
        TMemoryStream buf, plain;
        try {
            ASSERT_EQ(client->GenContext(buf, none, false), rcAuthContinueNeeded);
            std::string toServer = Text(buf);
            for (int turn = 0; turn < 6; ++turn) {
                const std::string reply = server.Step(toServer);
                toServer.clear();
                SetText(buf, reply);
                TclSspiReturnCode rc = client->GenContext(buf, none, false);
                if (rc == rcCredentialNeeded) rc = client->GenContext(buf, none, true);
                if (rc == rcAuthContinueNeeded) toServer = Text(buf);
                TMemoryStream fin;
                if (client->TakeFinalToken(fin)) toServer += Text(fin);
                if (rc == rcOK) {
                    // TLS 1.3: the refusal arrives after our side finished.
                    SetText(buf, server.Step(toServer));
                    client->Decrypt(buf, plain, buf);
                }
            }
            ADD_FAILURE() << "no failure";
        } catch (const EclSSPIError& e) {
            EXPECT_EQ(e.ErrorCode(), -9);
            EXPECT_EQ(e.Message(), "Error querying local certificate");
        }
    }
}

TEST_F(SspiTls, ClientAndServerSessionsTalkToEachOther) {
    TclTlsServerSspi server;
    TclCertificateList serverCerts(true);
    serverCerts.Add(TclCertificate::CreateFromPem(Pki().Good.CertificatePem, Pki().Good.KeyPem).release());
    auto client = Client();
    TclCertificateList none(false);
    TMemoryStream c2s, s2c;
    ASSERT_EQ(client->GenContext(c2s, none, false), rcAuthContinueNeeded);
    TclSspiReturnCode crc = rcAuthContinueNeeded, src = rcAuthContinueNeeded;
    for (int turn = 0; turn < 6 && !(crc == rcOK && src == rcOK); ++turn) {
        src = server.GenContext(c2s, serverCerts, false);
        s2c.Clear();
        if (src == rcAuthContinueNeeded) s2c.LoadFromStream(c2s);
        server.TakeFinalToken(s2c);
        s2c.SetPosition(0);
        c2s.Clear();
        if (s2c.GetSize() == 0) break;
        crc = client->GenContext(s2c, none, false);
        if (crc == rcAuthContinueNeeded) c2s.LoadFromStream(s2c);
        if (crc == rcEncodeNeeded) {  // records after the handshake: the server's tickets
            TMemoryStream plain;
            EXPECT_EQ(client->Decrypt(s2c, plain, s2c), rcOK);
            crc = rcOK;
        }
        client->TakeFinalToken(c2s);
        c2s.SetPosition(0);
        if (c2s.GetSize() == 0) break;
    }
    EXPECT_EQ(crc, rcOK);
    EXPECT_TRUE(client->Certified());
    TMemoryStream src2, rec, plain;
    SetText(src2, "ping");
    server.Encrypt(src2, rec, 4);
    EXPECT_EQ(client->Decrypt(rec, plain, rec), rcOK);
    EXPECT_EQ(Text(plain), "ping");
}

TEST(SspiMessages, TableFallbackAndUnknownCodes) {
    EXPECT_EQ(GetSspiErrorText(static_cast<int32_t>(0x800B0109)),
              "A certificate chain processed correctly, but terminated in a root certificate which is not trusted by "
              "the trust provider");
    EXPECT_EQ(GetSspiErrorText(-11), "Error occured when authenticating server credentials");
    EXPECT_EQ(GetSspiErrorText(0), "The unknown error was occured: 0");
    EXPECT_EQ(GetSspiErrorText(static_cast<int32_t>(0x8009abcd)), "The unknown error was occured: 8009ABCD");
    try {
        RaiseSspiError(static_cast<int32_t>(0x80091234), SspiCode::QueryPackage);
    } catch (const EclSSPIError& e) {
        EXPECT_EQ(e.ErrorCode(), static_cast<int32_t>(0x80091234));
        EXPECT_EQ(e.Message(), "Could not query package information");
    }
    EXPECT_EQ(MapSspiStatus(0x00090317), rcClosingNeeded);
    EXPECT_EQ(MapSspiStatus(0x00090321), rcReAuthNeeded);
    EXPECT_EQ(MapSspiStatus(static_cast<int32_t>(0x80090318)), rcMoreDataNeeded);
    EXPECT_THROW(MapSspiStatus(static_cast<int32_t>(0x80090330)), EclSSPIError);
}

// --- against a server not written here ---

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace {

std::string Receive(int AFd) {
    char buf[16384];
    const ssize_t n = recv(AFd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

void SendAll(int AFd, const std::string& AData) {
    size_t at = 0;
    while (at < AData.size()) {
        const ssize_t n = send(AFd, AData.data() + at, AData.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return;
        at += static_cast<size_t>(n);
    }
}

}  // namespace

// Connects to a loopback port and runs the client's handshake over the
// socket; bytes that followed the handshake are left in APending.
int ConnectSession(int APort, TclTlsClientSspi& AClient, TMemoryStream& APending) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(APort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    TclCertificateList none(false);
    TMemoryStream buf;
    TclSspiReturnCode rc = AClient.GenContext(buf, none, false);
    SendAll(fd, Text(buf));
    while (rc == rcAuthContinueNeeded || rc == rcAuthMoreDataNeeded) {
        const std::string got = Receive(fd);
        if (got.empty()) break;
        buf.Seek(0, soEnd);
        if (rc == rcAuthContinueNeeded) buf.Clear();
        buf.WriteBuffer(got);
        buf.SetPosition(0);
        rc = AClient.GenContext(buf, none, false);
        if (rc == rcAuthContinueNeeded) SendAll(fd, Text(buf));
    }
    EXPECT_TRUE(rc == rcOK || rc == rcEncodeNeeded);
    TMemoryStream fin;
    if (AClient.TakeFinalToken(fin)) SendAll(fd, Text(fin));
    APending.Clear();
    if (rc == rcEncodeNeeded) APending.LoadFromStream(buf);
    return fd;
}

// Receives and decrypts until ACount plaintext bytes or the close.
TclSspiReturnCode ReceivePlain(int AFd, TclTlsClientSspi& AClient, TMemoryStream& APending, TMemoryStream& APlain,
                               int64_t ACount = -1) {
    TclSspiReturnCode rc = rcOK;
    while (rc != rcClosingNeeded && (ACount < 0 || APlain.GetSize() < ACount)) {
        const std::string got = Receive(AFd);
        if (got.empty()) break;
        APending.Seek(0, soEnd);
        APending.WriteBuffer(got);
        APending.SetPosition(0);
        rc = AClient.Decrypt(APending, APlain, APending);
        if (rc == rcOK) APending.Clear();
    }
    return rc;
}

TEST_F(SspiTls, InteroperatesWithTheOpensslCommandLineServer) {
    const std::string cert = WriteTempFile("s_server_cert.pem", Pki().Good.CertificatePem);
    const std::string key = WriteTempFile("s_server_key.pem", Pki().Good.KeyPem);
    TOpensslServer server(cert, key);
    ASSERT_TRUE(server.Started);
    auto client = Client();
    TMemoryStream pending;
    const int fd = ConnectSession(server.Port, *client, pending);
    EXPECT_TRUE(client->Certified());

    TMemoryStream request, records;
    SetText(request, "GET / HTTP/1.0\r\n\r\n");
    client->Encrypt(request, records, request.GetSize());
    SendAll(fd, Text(records));

    TMemoryStream plain;
    const TclSspiReturnCode drc = ReceivePlain(fd, *client, pending, plain);
    close(fd);
    EXPECT_EQ(drc, rcClosingNeeded);
    EXPECT_EQ(Text(plain).rfind("HTTP/1.0 200 ok", 0), 0u) << Text(plain).substr(0, 80);
}

// Leaves that the library's configured security level refuses: a 1024-bit
// RSA key, a SHA-1 signature. s_server is told to serve them anyway.
TEST_F(SspiTls, WeakKeysAndSignaturesFailTheChainAtTheConfiguredSecurityLevel) {
    TLeafOptions rsa1024;
    rsa1024.RsaBits = 1024;
    TLeafOptions sha1;
    sha1.Sha1Signature = true;
    int n = 0;
    for (const TLeafOptions& options : {rsa1024, sha1, TLeafOptions{}}) {
        const TTestCertificate leaf = Pki().Ca.Issue(options);
        const std::string tag = std::to_string(n++);
        TOpensslServer server(WriteTempFile("weak_cert" + tag + ".pem", leaf.CertificatePem),
                              WriteTempFile("weak_key" + tag + ".pem", leaf.KeyPem), {"-cipher", "DEFAULT@SECLEVEL=0"});
        ASSERT_TRUE(server.Started);
        auto client = Client();
        // Even a client that ignores every ignorable fault refuses them.
        client->SetCertificateFlags({cfIgnoreCommonNameInvalid, cfIgnoreDateInvalid, cfIgnoreUnknownAuthority,
                                     cfIgnoreRevocation, cfIgnoreWrongUsage});
        TMemoryStream pending;
        const int fd = ConnectSession(server.Port, *client, pending);
        close(fd);
        if (n == 3) {
            EXPECT_TRUE(client->Certified()) << "a strong leaf of the same CA passes";
        } else {
            EXPECT_FALSE(client->Certified()) << tag;
            EXPECT_EQ(client->StatusCode(), SspiStatus::TrustFail) << tag;
        }
    }
}

TEST_F(SspiTls, TlsBelowOnePointTwoIsNeverOfferedWhateverTheFlags) {
    auto client = Client();  // the default flags include TLS 1.0 and 1.1
    client->SetTLSFlags({tfUseSSL3, tfUseTLS, tfUseTLS11, tfUseTLS12});
    TclCertificateList none(false);
    TMemoryStream buf;
    ASSERT_EQ(client->GenContext(buf, none, false), rcAuthContinueNeeded);
    EXPECT_EQ(SSL_CTX_get_min_proto_version(client->CredHandle()), TLS1_2_VERSION);
    auto old = Client();
    old->SetTLSFlags({tfUseTLS, tfUseTLS11});
    try {
        old->GenContext(buf, none, false);
        ADD_FAILURE() << "a client for TLS 1.0 and 1.1 only was made";
    } catch (const EclSSPIError& e) {
        EXPECT_EQ(e.ErrorCode(), SspiStatus::AlgorithmMismatch);
    }
}

TEST_F(SspiTls, ServerRenegotiationAsksForANewHandshakeStepAndDataFlowsAfterIt) {
    TMemoryServer server(Pki().Good, TLS1_2_VERSION);
    auto client = Client();
    ASSERT_EQ(Handshake(*client, server), rcOK);
    server.Step("");
    ASSERT_EQ(SSL_renegotiate(server.Ssl()), 1);
    SSL_do_handshake(server.Ssl());
    TMemoryStream buf, plain;
    SetText(buf, server.Drain());
    ASSERT_EQ(client->Decrypt(buf, plain, buf), rcReAuthNeeded);
    buf.Clear();
    TclCertificateList none(false);
    TclSspiReturnCode rc = client->GenContext(buf, none, false);
    for (int turn = 0; turn < 4 && rc == rcAuthContinueNeeded; ++turn) {
        const std::string reply = server.Step(Text(buf));
        SetText(buf, reply);
        rc = client->GenContext(buf, none, false);
    }
    EXPECT_EQ(rc, rcOK);
    TMemoryStream fin;  // a resumed renegotiation ends on our Finished
    if (client->TakeFinalToken(fin)) server.Step(Text(fin));
    EXPECT_TRUE(SSL_is_init_finished(server.Ssl()));
    SetText(buf, server.Records("after renegotiation"));
    plain.Clear();
    EXPECT_EQ(client->Decrypt(buf, plain, buf), rcOK);
    EXPECT_EQ(Text(plain), "after renegotiation");
    EXPECT_TRUE(client->Certified());
}

TEST_F(SspiTls, KeyUpdateRequestedByTheServerIsAnsweredThroughAHandshakeStep) {
    TMemoryServer server(Pki().Good);
    auto client = Client();
    ASSERT_EQ(Handshake(*client, server), rcOK);
    server.Step("");
    ASSERT_EQ(SSL_key_update(server.Ssl(), SSL_KEY_UPDATE_REQUESTED), 1);
    // The update goes out before the next record; a record follows it in the same receive.
    TMemoryStream buf, plain;
    SetText(buf, server.Records("after update"));
    TclSspiReturnCode rc = client->Decrypt(buf, plain, buf);
    TclCertificateList none(false);
    if (rc == rcReAuthNeeded) {
        rc = client->GenContext(buf, none, false);
        EXPECT_TRUE(rc == rcOK || rc == rcEncodeNeeded);
        TMemoryStream fin;
        ASSERT_TRUE(client->TakeFinalToken(fin));
        int error = 0;
        server.Plain(Text(fin), &error);
        EXPECT_EQ(error, SSL_ERROR_WANT_READ);
        if (rc == rcEncodeNeeded) rc = client->Decrypt(buf, plain, buf);
    }
    EXPECT_EQ(rc, rcOK);
    EXPECT_EQ(Text(plain), "after update");
    // Both directions still work with the new keys.
    TMemoryStream src, records;
    SetText(src, "reply");
    client->Encrypt(src, records, 5);
    EXPECT_EQ(server.Plain(Text(records)), "reply");
    SetText(buf, server.Records("more"));
    plain.Clear();
    EXPECT_EQ(client->Decrypt(buf, plain, buf), rcOK);
    EXPECT_EQ(Text(plain), "more");
}

TEST_F(SspiTls, RecordsSplitAndJoinedOnARealSocketArriveWhole) {
    TTlsTestServer server(Pki().Good, [](SSL* ASsl, int ASocket) {
        const std::string one = RecordsOf(ASsl, {"split record"});
        SendRaw(ASocket, one.substr(0, 7));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SendRaw(ASocket, one.substr(7));
        SendRaw(ASocket, RecordsOf(ASsl, {"first,", "second"}));
        ReadUntil(ASsl, "bye");
    });
    auto client = Client();
    TMemoryStream pending, plain;
    const int fd = ConnectSession(server.Port(), *client, pending);
    ReceivePlain(fd, *client, pending, plain, 24);
    EXPECT_EQ(Text(plain), "split recordfirst,second");
    TMemoryStream src, records;
    SetText(src, "bye");
    client->Encrypt(src, records, 3);
    SendAll(fd, Text(records));
    close(fd);
}
