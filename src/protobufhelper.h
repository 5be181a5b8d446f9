#ifndef PROTOBUFHELPER_H
#define PROTOBUFHELPER_H

#include "updatechecker.h"

#include <QByteArray>

// The version server's reply format, kept apart from the transfer so it can be decoded (and tested,
// and fuzzed) without a network. All functions may be called from any thread.
namespace ProtobufHelper {

// Aborts the process when the linked protobuf runtime does not match the generated message code;
// called once at start-up before any message is decoded.
void verifyLibraryVersion();

// Decodes a serialized `Versions` message into channel name -> (version number as decimal text,
// version text). Empty when data is empty or does not decode (truncated, wrong wire type, a required
// field missing). The first entry of a channel name wins; later entries with that name are ignored.
UpdateVersions decodeVersions(const QByteArray &data);

} // namespace ProtobufHelper

#endif // PROTOBUFHELPER_H
