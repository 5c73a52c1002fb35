// The TLS stream: handshake steps, record buffering and the close
// notification, driven by the connection's read and write passes.
#include "transport/clTlsSocket.h"

#include <algorithm>
#include <cstring>

#include "rtl/clException.h"

namespace cl {

namespace {

// Decrypted records gather here before they go to the caller's stream in
// one write.
constexpr size_t kPlainBlock = 4 * TclTlsSspi::kMaxRecordPlaintext;
// The largest record on the wire: header, body and what the cipher adds.
constexpr size_t kMaxRecordSize = 5 + TclTlsSspi::kMaxRecordPlaintext + 2048;

}  // namespace

// ---- TclRecordBuffer ----

uint8_t* TclRecordBuffer::Reserve(size_t ALength) {
    if (FBlock.size() - FEnd < ALength) {
        const size_t waiting = Size();
        if (waiting > 0 && FStart > 0) std::memmove(FBlock.data(), FBlock.data() + FStart, waiting);
        FStart = 0;
        FEnd = waiting;
        // Room for a whole record besides the receive, so the block is sized once.
        if (FBlock.size() - FEnd < ALength) FBlock.resize(FEnd + ALength + kMaxRecordSize);
    }
    return FBlock.data() + FEnd;
}

void TclRecordBuffer::Append(const uint8_t* AData, size_t ALength) {
    if (ALength == 0) return;
    std::memcpy(Reserve(ALength), AData, ALength);
    Commit(ALength);
}

void TclRecordBuffer::Consume(size_t ALength) {
    FStart += ALength;
    if (FStart >= FEnd) FStart = FEnd = 0;
}

// ---- TclTlsNetworkStream ----

TclTlsNetworkStream::TclTlsNetworkStream() : FTargetName(DefaultTargetName()) {}

TclTlsNetworkStream::~TclTlsNetworkStream() { FreeSSPI(); }

TclTlsSspi& TclTlsNetworkStream::SSPI() {
    std::lock_guard<std::mutex> guard(FSSPIAccess);
    ClAssert(FSSPI != nullptr, "clTlsSocket", 542);
    return *FSSPI;
}

template <class F>
void TclTlsNetworkStream::WithSession(F AApply) {
    std::lock_guard<std::mutex> guard(FSSPIAccess);
    if (FSSPI) AApply(*FSSPI);
}

template <class F>
auto TclTlsNetworkStream::UseSession(F AApply) {
    std::lock_guard<std::mutex> guard(FSSPIAccess);
    ClAssert(FSSPI != nullptr, "clTlsSocket", 542);
    return AApply(*FSSPI);
}

void TclTlsNetworkStream::SetTargetName(const std::string& AValue) {
    FTargetName = AValue;
    WithSession([&](TclTlsSspi& s) {
        if (auto* client = dynamic_cast<TclTlsClientSspi*>(&s)) client->SetTargetName(AValue);
    });
}

void TclTlsNetworkStream::SetTlsSettings(const TclTlsSettings& AValue) {
    FTlsSettings = AValue;
    WithSession([&](TclTlsSspi& s) { s.SetTlsSettings(AValue); });
}

void TclTlsNetworkStream::SetCertificateFlags(TclCertificateVerifyFlags AValue) {
    FTlsSettings.CertificateFlags = AValue;
    WithSession([&](TclTlsSspi& s) { s.SetCertificateFlags(AValue); });
}

void TclTlsNetworkStream::SetTLSFlags(TclTlsFlags AValue) {
    FTlsSettings.TLSFlags = AValue;
    WithSession([&](TclTlsSspi& s) { s.SetTLSFlags(AValue); });
}

void TclTlsNetworkStream::SetSendRootCertificate(bool AValue) {
    FTlsSettings.SendRootCertificate = AValue;
    WithSession([&](TclTlsSspi& s) { s.SetSendRootCertificate(AValue); });
}

void TclTlsNetworkStream::SetUseStrongCryptoAlgorithms(bool AValue) {
    FTlsSettings.UseStrongCryptoAlgorithms = AValue;
    WithSession([&](TclTlsSspi& s) { s.SetUseStrongCryptoAlgorithms(AValue); });
}

void TclTlsNetworkStream::SetRequireClientCertificate(bool AValue) {
    FRequireClientCertificate = AValue;
    WithSession([&](TclTlsSspi& s) {
        if (auto* server = dynamic_cast<TclTlsServerSspi*>(&s)) server->SetRequireClientCertificate(AValue);
    });
}

void TclTlsNetworkStream::SetCSP(const std::string& AValue) {
    FTlsSettings.CSP = AValue;
    WithSession([&](TclTlsSspi& s) { s.SetCSP(AValue); });
}

void TclTlsNetworkStream::Assign(const TclNetworkStream& ASource) {
    TclNetworkStream::Assign(ASource);
    if (auto* tls = dynamic_cast<const TclTlsNetworkStream*>(&ASource)) {
        SetTargetName(tls->FTargetName);
        SetTlsSettings(tls->FTlsSettings);
        SetRequireClientCertificate(tls->FRequireClientCertificate);
    }
}

void TclTlsNetworkStream::FreeSSPI() {
    std::lock_guard<std::mutex> guard(FSSPIAccess);
    FSSPI.reset();
    FPeerVerified = false;
    FPeerChecked = false;
}

void TclTlsNetworkStream::InitClientSession() {
    {
        std::lock_guard<std::mutex> guard(FSSPIAccess);
        FSSPI.reset();
        FPeerVerified = false;
        FPeerChecked = false;
        auto client = std::make_unique<TclTlsClientSspi>();
        client->SetTargetName(FTargetName);
        client->SetTlsSettings(FTlsSettings);
        FSSPI = std::move(client);
        FServerSession = false;
    }
    FSSPIBuffer.Clear();
    FRecords.Clear();
    FWriteData.Clear();
    FWriteHoldsData = false;
    FSSPIResult = rcOK;
    FPacketSize = 0;
    FNeedAuthenticate = true;
    SetNextAction(saWrite);
}

void TclTlsNetworkStream::InitServerSession() {
    {
        std::lock_guard<std::mutex> guard(FSSPIAccess);
        FSSPI.reset();
        FPeerVerified = false;
        FPeerChecked = false;
        auto server = std::make_unique<TclTlsServerSspi>();
        server->SetTlsSettings(FTlsSettings);
        server->SetRequireClientCertificate(FRequireClientCertificate);
        FSSPI = std::move(server);
        FServerSession = true;
    }
    FSSPIBuffer.Clear();
    FRecords.Clear();
    FWriteData.Clear();
    FWriteHoldsData = false;
    FSSPIResult = rcAuthDataNeeded;
    FPacketSize = 0;
    FNeedAuthenticate = false;
    SetNextAction(saRead);
}

void TclTlsNetworkStream::VerifyPeer() {
    if (FPeerChecked) return;
    FPeerChecked = true;
    int32_t status = 0;
    TclCertificate* peer = nullptr;
    UseSession([&](TclTlsSspi& ASession) {
        FPeerVerified = ASession.Certified();
        status = ASession.StatusCode();
        peer = ASession.PeerCertificate();
    });
    const std::string text = GetSspiErrorText(status);
    if (OnVerifyPeer) OnVerifyPeer(this, peer, text, status, FPeerVerified);
    if (!FPeerVerified) throw EclSocketError(text, status);
}

void TclTlsNetworkStream::DoHandshake(TStream* ADestination) {
    TclCertificateList certificates(false);
    FPacketSize = 0;
    auto genContext = [&](bool AllowEmptyCred) {
        return UseSession(
            [&](TclTlsSspi& ASession) { return ASession.GenContext(FSSPIBuffer, certificates, AllowEmptyCred); });
    };
    auto askCertificate = [&](TclCertificateList& AInto) {
        TclCertificate* own = nullptr;
        bool handled = false;
        TclCertificateList extra(false);
        if (OnGetCertificate) OnGetCertificate(this, own, extra, handled);
        AInto.Clear();
        if (own) AInto.Add(own);
        AInto.AddFrom(extra);
    };
    try {
        // A server session needs its own certificate for the first step.
        if (FServerSession && !UseSession([](TclTlsSspi& ASession) { return ASession.CtxtHandle() != nullptr; }))
            askCertificate(certificates);
        FSSPIResult = genContext(false);
        if (FSSPIResult == rcCredentialNeeded) {
            askCertificate(certificates);
            FSSPIResult = genContext(true);
            if (FSSPIResult == rcCredentialNeeded)
                throw EclSocketError(GetSspiErrorText(SspiCode::QueryLocalCertificate),
                                     SspiCode::QueryLocalCertificate);
        }
        if (FSSPIResult == rcOK || FSSPIResult == rcEncodeNeeded) VerifyPeer();

        if (FSSPIResult == rcAuthContinueNeeded) {
            if (!EncryptAndSend(nullptr, 0)) SetNextAction(saWrite);
            FSSPIResult = rcAuthDataNeeded;
        } else if (FSSPIResult == rcOK || FSSPIResult == rcEncodeNeeded) {
            // The last flight of a handshake that ends on our side.
            if (FWriteData.GetSize() == 0 &&
                UseSession([&](TclTlsSspi& ASession) { return ASession.TakeFinalToken(FWriteData); })) {
                FWriteData.SetPosition(0);
                FWriteHoldsData = false;
                if (!EncryptAndSend(nullptr, 0)) SetNextAction(saWrite);
            }
            if (FSSPIResult == rcEncodeNeeded) {
                // Application bytes followed the handshake in the same receive.
                FSSPIResult = rcOK;
                DecryptData(FSSPIBuffer, ADestination ? ADestination : &FReadData);
                if (FSSPIResult != rcMoreDataNeeded && FSSPIResult != rcClosingNeeded) FSSPIResult = rcOK;
            }
        }
    } catch (...) {
        FSSPIBuffer.Clear();
        throw;
    }
    // An incomplete record after the handshake stays for the next read.
    if (FSSPIResult != rcOK && FSSPIResult != rcAuthContinueNeeded && FSSPIResult != rcAuthMoreDataNeeded &&
        FSSPIResult != rcMoreDataNeeded)
        FSSPIBuffer.Clear();
    if (FSSPIResult == rcOK || FSSPIResult == rcClosingNeeded) TclNetworkStream::StreamReady();
}

void TclTlsNetworkStream::DecryptData(TStream& ASource, TStream* ADestination) {
    auto appendToHandshake = [&] {
        if (&ASource == &FSSPIBuffer) return;
        const int64_t pos = FSSPIBuffer.GetPosition();
        FSSPIBuffer.Seek(0, soEnd);
        FSSPIBuffer.CopyFrom(ASource, ASource.GetSize() - ASource.GetPosition());
        FSSPIBuffer.SetPosition(pos);
    };
    switch (FSSPIResult) {
        case rcAuthDataNeeded:
            if (&ASource != &FSSPIBuffer) {
                FSSPIBuffer.Clear();
                appendToHandshake();
                FSSPIBuffer.SetPosition(0);
            }
            DoHandshake(ADestination);
            return;
        case rcAuthMoreDataNeeded:
            appendToHandshake();
            DoHandshake(ADestination);
            return;
        case rcReAuthNeeded:  // kept for the step that answers the peer
            appendToHandshake();
            return;
        case rcOK:
        case rcMoreDataNeeded: {
            // The bytes join the records waiting (after a handshake: the
            // records that followed it in the same receive).
            const int64_t left = ASource.GetSize() - ASource.GetPosition();
            if (left > 0) {
                ASource.ReadBuffer(FRecords.Reserve(static_cast<size_t>(left)), left);
                FRecords.Commit(static_cast<size_t>(left));
            }
            if (&ASource == &FSSPIBuffer) FSSPIBuffer.Clear();
            break;
        }
        default:
            break;  // the bytes are not added
    }
    ClAssert(ADestination != nullptr, "clTlsSocket", 468);
    DecryptWaitingRecords(*ADestination);
}

void TclTlsNetworkStream::DecryptWaitingRecords(TStream& ADestination) {
    if (FPlain.size() < kPlainBlock) FPlain.resize(kPlainBlock);
    for (;;) {
        const TclTlsSspi::TDecryptStep step = UseSession([&](TclTlsSspi& ASession) {
            return ASession.DecryptRecords(FRecords.Data(), FRecords.Size(), FPlain.data(), FPlain.size());
        });
        FRecords.Consume(step.Consumed);
        FSSPIResult = step.Code;
        if (step.Plain > 0) ADestination.WriteBuffer(FPlain.data(), static_cast<int64_t>(step.Plain));
        switch (step.Code) {
            case rcMoreDataNeeded:
                if (step.Consumed > 0) continue;  // FPlain was full; more records wait
                return;                           // an incomplete record waits for its rest
            case rcReAuthNeeded:
                FNeedAuthenticate = true;
                HandRecordsToHandshake();
                return;
            case rcClosingNeeded:
                SetNeedClose(true);
                return;
            default:
                return;
        }
    }
}

void TclTlsNetworkStream::HandRecordsToHandshake() {
    FSSPIBuffer.Clear();
    if (FRecords.Size() > 0) FSSPIBuffer.WriteBuffer(FRecords.Data(), static_cast<int64_t>(FRecords.Size()));
    FSSPIBuffer.SetPosition(0);
    FRecords.Clear();
}

bool TclTlsNetworkStream::ReceiveRecords(TStream& ADestination) {
    bool received = false;
    do {
        const int size = ReceiveSize();
        if (size <= 0) break;
        const int got = ReceiveBatch(FRecords.Reserve(static_cast<size_t>(size)), size);
        if (got <= 0) break;  // it would block, or the peer closed
        FRecords.Commit(static_cast<size_t>(got));
        UpdateProgress(got);
        received = true;
        DecryptWaitingRecords(ADestination);
    } while (RecordsFlow() && !NeedStop());
    return received;
}

bool TclTlsNetworkStream::Read(TStream* AData) {
    const int64_t start = AData ? AData->GetPosition() : 0;
    ClearNextAction();
    bool gotRecords = false;
    bool capped = false;
    auto report = [&] {
        if (AData) UpdatePlainProgress(AData->GetPosition() - start);
    };
    try {
        if (FReadData.GetSize() > 0 && AData) {
            AData->CopyFrom(FReadData, 0);
            FReadData.Clear();
        } else {
            // A pass takes a few receives at most, so that it ends now and
            // then (for the progress report) even with a fast peer; when the
            // cap ends it, the next pass is asked for.
            FRawReadThisPass = 0;
            FRawReadCap = 4 * static_cast<int64_t>(std::max(ReceiveSize(), 1));
            try {
                if (RecordsFlow()) {
                    gotRecords = ReceiveRecords(AData ? *AData : FReadData);
                } else {
                    // Handshake flights: received whole, then handed to the step.
                    TMemoryStream received;
                    TclNetworkStream::Read(&received);
                    gotRecords = received.GetSize() > 0;
                    if (gotRecords) {
                        received.SetPosition(0);
                        DecryptData(received, AData ? AData : &FReadData);
                    }
                }
            } catch (...) {
                FRawReadCap = 0;
                throw;
            }
            capped = FRawReadThisPass >= FRawReadCap;
            FRawReadCap = 0;
        }
        SetHasReadData(FReadData.GetSize() > 0);
        if (FSSPIResult == rcReAuthNeeded)
            SetNextAction(saWrite);
        else if (FSSPIResult >= rcAuthContinueNeeded && FSSPIResult != rcClosingNeeded)
            SetNextAction(saRead);
        else if (FSSPIResult == rcOK && AData && gotRecords && AData->GetPosition() == start && !NeedClose())
            SetNextAction(saRead);  // only session records (tickets) came: the data is still to come
        else if (capped && AData && !NeedClose() && ClBytesAvailable(RequireConnection().Socket().Socket()) > 0)
            SetNextAction(saRead);  // more is waiting on the socket
    } catch (...) {
        report();
        throw;
    }
    report();
    return true;
}

bool TclTlsNetworkStream::EncryptAndSend(TStream* ASource, int64_t ASize) {
    if (FWriteData.GetSize() == 0) {
        if (FSSPIResult == rcAuthContinueNeeded || FSSPIResult == rcCompleteNeeded) {
            ClAssert(ASource == nullptr, "clTlsSocket", 511);
            FWriteData.CopyFrom(FSSPIBuffer, 0);
            FSSPIBuffer.Clear();
            FWriteHoldsData = false;
        } else {
            ClAssert(ASource != nullptr, "clTlsSocket", 502);
            // Records go through a buffer of their own: FSSPIBuffer may hold
            // a received record that is not complete yet.
            TMemoryStream records;
            UseSession([&](TclTlsSspi& ASession) { ASession.Encrypt(*ASource, records, ASize); });
            FWriteData.CopyFrom(records, 0);
            FWriteHoldsData = true;
        }
        FWriteData.SetPosition(0);
    }
    const bool sent = TclNetworkStream::Write(&FWriteData);
    if (sent) FWriteData.Clear();
    return sent;
}

bool TclTlsNetworkStream::Write(TStream* AData) {
    ClearNextAction();
    if (FNeedAuthenticate) {
        FNeedAuthenticate = false;
        DoHandshake(nullptr);
        SetHasReadData(FReadData.GetSize() > 0);
        if (FSSPIResult != rcOK) SetNextAction(saRead);
        return true;
    }
    if (!AData) {
        if (FWriteData.GetSize() == 0) return true;  // nothing pending
        const bool holdsData = FWriteHoldsData;
        const bool sent = EncryptAndSend(nullptr, 0);
        if (!sent) SetNextAction(saWrite);
        if (sent && holdsData) FWriteHoldsData = false;  // its caller is gone; the record still went out whole
        return sent;
    }
    bool sent = true;
    while (sent && AData->GetPosition() < AData->GetSize()) {
        if (FWriteData.GetSize() > 0) {
            // Ciphertext that could not go out before is sent first; when
            // it is the record of the caller's next bytes, they are done.
            const bool holdsData = FWriteHoldsData;
            sent = EncryptAndSend(nullptr, 0);
            if (sent && holdsData) {
                FWriteHoldsData = false;
                UpdatePlainProgress(FWriteSize);
                AData->Seek(FWriteSize, soCurrent);
            }
        } else {
            FWriteSize = std::min<int64_t>(AData->GetSize() - AData->GetPosition(), RequireConnection().BatchSize());
            sent = EncryptAndSend(AData, FWriteSize);
            if (sent) {
                FWriteHoldsData = false;
                UpdatePlainProgress(FWriteSize);
                AData->Seek(FWriteSize, soCurrent);
            }
        }
    }
    return sent;
}

int32_t TclTlsNetworkStream::GetPacketSize() {
    if (FPacketSize == 0 && FSSPIResult == rcOK) {
        std::lock_guard<std::mutex> guard(FSSPIAccess);
        if (FSSPI && FSSPI->CtxtHandle()) {
            try {
                const TclStreamSizes& sizes = FSSPI->StreamSizes();
                FPacketSize = static_cast<int32_t>(sizes.cbHeader + sizes.cbTrailer);
            } catch (const EclSSPIError&) {
                FPacketSize = 0;
            }
        }
    }
    return FPacketSize;
}

int TclTlsNetworkStream::GetReadBatchSize() {
    const int plain = TclNetworkStream::GetReadBatchSize();
    return plain > 0 ? plain + GetPacketSize() : plain;  // a reached limit stays reached
}

int TclTlsNetworkStream::GetWriteBatchSize() {
    const int plain = TclNetworkStream::GetWriteBatchSize();
    return plain > 0 ? plain + GetPacketSize() : plain;
}

bool TclTlsNetworkStream::IsProceedLimit() {
    if (TclNetworkStream::IsProceedLimit()) return true;
    if (FRawReadCap > 0 && FRawReadThisPass >= FRawReadCap) return true;
    const int64_t limit = Connection() ? Connection()->BytesToProceed() : -1;
    return limit >= 0 && FEncryptedBytesProceed >= limit;
}

void TclTlsNetworkStream::InitProgress() {
    TclNetworkStream::InitProgress();
    FEncryptedBytesProceed = 0;
}

void TclTlsNetworkStream::UpdateProgress(int64_t ABytesProceed) {
    FEncryptedBytesProceed += ABytesProceed;
    if (FRawReadCap > 0) FRawReadThisPass += ABytesProceed;
}

void TclTlsNetworkStream::UpdatePlainProgress(int64_t ABytesProceed) {
    if (ABytesProceed > 0) TclNetworkStream::UpdateProgress(ABytesProceed);
}

void TclTlsNetworkStream::Close(bool ANotifyPeer) {
    TclNetworkStream::Close(ANotifyPeer);
    ClearNextAction();
    FSSPIResult = rcOK;
    FSSPIBuffer.Clear();
    FRecords.Clear();
    TclSspiReturnCode ended = rcOK;
    {
        std::lock_guard<std::mutex> guard(FSSPIAccess);
        if (FSSPI) {
            try {
                ended = FSSPI->EndSession(FSSPIBuffer);
            } catch (const EclSSPIError&) {
                ended = rcOK;
            }
        }
    }
    if (ANotifyPeer && ended == rcCompleteNeeded) {
        FSSPIResult = rcCompleteNeeded;
        FWriteData.Clear();
        try {
            if (!EncryptAndSend(nullptr, 0)) SetNextAction(saWrite);
        } catch (const EclSocketError&) {
        }
    }
    FSSPIBuffer.Clear();
    FNeedAuthenticate = false;
    FSSPIResult = rcOK;
}

}  // namespace cl
