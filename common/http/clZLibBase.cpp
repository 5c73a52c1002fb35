#include "http/clZLibBase.h"

namespace cl {

namespace {

const TclZLibErrorEntry kErrors[] = {
    {zlOldInputNotProcessed, "Old input was not completely processed"},
    {zlInvalidStreamOperation, "Invalid Stream operation"},
    {zlInvalidCrc, "Uncompressing error - invalid crc"},
    {zlInvalidDataSize, "Uncompressing error - invalid data size"},
    {zlNotByteAligned, "Bit buffer is not byte aligned"},
    {zlArgumentOutOfRange, "Argument out of range"},
    {zlUnknownError, "Unknown error"},
    {zlStaticTreeLength, "Static tree length illegal"},
    {zlWindowIsFull, "Window is full"},
    {zlInvalidOperation, "Invalid operation"},
    {zlHeaderChecksum, "Header checksum illegal"},
    {zlUnknownMethod, "Compression Method unknown"},
    {zlIllegalRepLength, "Illegal rep length code"},
    {zlIllegalRepDistance, "Illegal rep dist code"},
    {zlUnknownMode, "Inflater unknown mode"},
    {zlAdlerMismatch, "Adler chksum doesn't match"},
    {zlUnknownBlockType, "Unknown block type "},
    {zlBrokenStoredBlock, "Broken uncompressed block"},
    {zlNeedDictionary, "Need a dictionary"},
};

}  // namespace

const TclZLibErrorEntry* ZLibErrorTable(int& ACount) {
    ACount = static_cast<int>(sizeof(kErrors) / sizeof(kErrors[0]));
    return kErrors;
}

std::string ZLibErrorMessage(int ACode) {
    for (const auto& e : kErrors) {
        if (e.Code == ACode) return e.Message;
    }
    return ZLibErrorMessage(zlUnknownError);
}

void RaiseZLibError(int ACode) { throw EclZLibError(ZLibErrorMessage(ACode), ACode); }

}  // namespace cl
