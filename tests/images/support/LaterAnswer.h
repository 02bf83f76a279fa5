#pragma once

#include "images/pipeline/RemoteImageManager.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"

#include <memory>

namespace velmora::images::testing {

// A load through `manager` that `server` answers `latencyMs` after it is asked. Once it has
// come, an answer the server was to give sooner, to a load asked before it, has come too and
// gone where it goes: how a test of "nothing more comes of that load" waits. False when it
// never came.
inline bool loadAnsweredAfter(velmora::test::LoopbackImageServer& server, RemoteImageManager& manager,
                              int latencyMs) {
    static int made = 0;
    const QByteArray path = "/answered-after-" + QByteArray::number(++made) + ".png";
    server.serve(path, velmora::test::ImageAnswer::image(velmora::test::LoopbackImageServer::png(2, 2))
                           .withLatency(latencyMs));
    auto done = std::make_shared<bool>(false);
    manager.loadImage(server.url(QString::fromLatin1(path)), 0, nullptr,
                      [done](const Image&, const QByteArray&, const ImageError&, ImageCacheType,
                             bool finished, const QUrl&) { *done = *done || finished; });
    return velmora::test::waitUntil([done] { return *done; });
}

} // namespace velmora::images::testing
