// Feeds arbitrary bytes as the server's side of a TLS handshake, in pieces
// whose sizes come from the input, to the client session: every outcome must
// be a result or an EclSSPIError, never a crash or a hang.
#include <cstddef>
#include <cstdint>

#include "transport/clSspiTls.h"

using namespace cl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 1) return 0;
    const size_t piece = 1 + AData[0] % 64;
    ++AData;
    --ASize;
    try {
        TclTlsClientSspi client;
        client.SetTargetName("fuzz.example");
        TclCertificateList none(false);
        TMemoryStream buf;
        TclSspiReturnCode rc = client.GenContext(buf, none, false);
        buf.Clear();
        size_t at = 0;
        while (at < ASize) {
            const size_t n = piece < ASize - at ? piece : ASize - at;
            buf.Seek(0, soEnd);
            buf.WriteBuffer(AData + at, static_cast<int64_t>(n));
            buf.SetPosition(0);
            at += n;
            rc = client.GenContext(buf, none, true);
            if (rc == rcAuthContinueNeeded) buf.Clear();
            if (rc == rcOK || rc == rcEncodeNeeded) {
                TMemoryStream plain;
                client.Decrypt(buf, plain, buf);
                break;
            }
        }
    } catch (const EclSSPIError&) {
    } catch (const Exception&) {
    }
    return 0;
}
