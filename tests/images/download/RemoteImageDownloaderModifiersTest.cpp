#include "images/download/RemoteImageDownloaderDecryptor.h"
#include "images/download/RemoteImageDownloaderRequestModifier.h"
#include "images/download/RemoteImageDownloaderResponseModifier.h"

#include "tests/support/LoopbackImageServer.h"

#include <gtest/gtest.h>

using namespace velmora::images;

TEST(RemoteImageDownloaderModifiersTest, aHeadersRequestModifierTurnsAPostWithBodyIntoAPlainGet) {
    ImageRequest request;
    request.url = QUrl(QStringLiteral("https://example.test/a.png"));
    request.method = "POST";
    request.body = QByteArray("payload");
    request.setHeader("Accept", "image/png");
    const auto modifier = RemoteImageDownloaderRequestModifier::withHeaders({{"accept", "image/webp"}, {"X-Id", "7"}});
    const auto changed = modifier->modifiedRequest(request);
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->method, "GET");
    EXPECT_FALSE(changed->body);
    EXPECT_EQ(changed->header("Accept"), QByteArray("image/webp"));
    EXPECT_EQ(changed->header("x-id"), QByteArray("7"));
    EXPECT_EQ(changed->headers.size(), 2u);

    EXPECT_EQ(RemoteImageDownloaderRequestModifier::withMethod("HEAD")->modifiedRequest(request)->method, "HEAD");
    EXPECT_EQ(RemoteImageDownloaderRequestModifier::withBody("x")->modifiedRequest(request)->body, QByteArray("x"));
    EXPECT_FALSE(RemoteImageDownloaderRequestModifier::withBlock(nullptr)->modifiedRequest(request));
}

TEST(RemoteImageDownloaderModifiersTest, responseModifiersRewriteHttpAnswersAndPassOthersUnchanged) {
    ImageResponse notFound;
    notFound.url = QUrl(QStringLiteral("https://example.test/a.png"));
    notFound.statusCode = 404;
    notFound.headers = {{"Content-Type", "text/html"}, {"Content-Length", "12"}};

    const auto versioned = RemoteImageDownloaderResponseModifier::withVersion("HTTP/2")->modifiedResponse(notFound);
    ASSERT_TRUE(versioned);
    EXPECT_EQ(versioned->statusCode, 200);
    EXPECT_EQ(versioned->httpVersion, "HTTP/2");
    EXPECT_EQ(versioned->headers, notFound.headers);
    EXPECT_EQ(versioned->url, notFound.url);

    const auto retyped =
        RemoteImageDownloaderResponseModifier::withHeaders({{"content-type", "image/png"}})->modifiedResponse(notFound);
    EXPECT_EQ(retyped->mimeType(), "image/png");
    EXPECT_EQ(retyped->expectedContentLength(), 12);

    ImageResponse file;
    file.url = QUrl::fromLocalFile(QStringLiteral("/tmp/a.png"));
    EXPECT_EQ(RemoteImageDownloaderResponseModifier::withStatusCode(500)->modifiedResponse(file), file);
}

TEST(RemoteImageDownloaderModifiersTest, theBase64DecryptorSkipsLineBreaksAndRefusesBrokenText) {
    const QByteArray png = velmora::test::LoopbackImageServer::png(16, 16);
    QByteArray wrapped;
    const QByteArray encoded = png.toBase64();
    for (qsizetype i = 0; i < encoded.size(); i += 76) {
        wrapped += encoded.mid(i, 76) + "\r\n";
    }
    const auto decryptor = RemoteImageDownloaderDecryptor::base64Decryptor();
    EXPECT_EQ(decryptor, RemoteImageDownloaderDecryptor::base64Decryptor());
    EXPECT_EQ(decryptor->decryptedData(wrapped, std::nullopt), png);
    EXPECT_FALSE(decryptor->decryptedData("QUJD=RA", std::nullopt));
}
