#include "http/clZLibBase.h"

#include <iterator>

namespace cl {

namespace {

constexpr TclCodeText kErrors[] = {
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

const TclCodeText* ZLibErrorTable(int& ACount) {
    ACount = static_cast<int>(std::size(kErrors));
    return kErrors;
}

std::string ZLibErrorMessage(int ACode) {
    const char* text = FindCodeText(kErrors, ACode);
    return text != nullptr ? text : FindCodeText(kErrors, zlUnknownError);
}

void RaiseZLibError(int ACode) { throw EclZLibError(ZLibErrorMessage(ACode), ACode); }

}  // namespace cl
