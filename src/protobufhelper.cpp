#include "protobufhelper.h"

#include "UpdateMessage.pb.h"

#include <QSet>

namespace ProtobufHelper {

void verifyLibraryVersion()
{
    GOOGLE_PROTOBUF_VERIFY_VERSION;
}

UpdateVersions decodeVersions(const QByteArray &data)
{
    UpdateVersions result;
    vantorel::updateserver::Versions message;
    // The partial parse plus our own check keeps the library from logging about missing fields;
    // the verdict is the same as a full parse.
    if (!message.ParsePartialFromArray(data.constData(), data.size()) || !message.IsInitialized())
        return result;

    for (const vantorel::updateserver::Channel &channel : message.channels()) {
        const QString name = QString::fromStdString(channel.name());
        if (result.contains(name))
            continue;
        result.insert(name, qMakePair(QString::number(channel.version_number()),
                                      QString::fromStdString(channel.version_string())));
    }
    return result;
}

} // namespace ProtobufHelper
