#pragma once

#include "images/core/Image.h"
#include "images/core/RemoteImageContext.h"
#include "images/core/RemoteImageOptions.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <optional>

namespace velmora::imageviews {

// Where an `AnimatedImage` takes its image from: a URL (with placeholder), a named image of a
// folder, or data. Each setter announces `objectWillChange` before it stores.
class AnimatedImageModel : public QObject {
    Q_OBJECT
public:
    enum class Kind { Url, Data, Name, Unknown };

    explicit AnimatedImageModel(QObject* parent = nullptr);
    ~AnimatedImageModel() override;

    Kind kind = Kind::Unknown;

    const std::optional<QUrl>& url() const { return m_url; }
    void setUrl(std::optional<QUrl> url);
    images::RemoteImageOptions webOptions() const { return m_webOptions; }
    void setWebOptions(images::RemoteImageOptions options);
    const std::optional<images::RemoteImageContext>& webContext() const { return m_webContext; }
    void setWebContext(std::optional<images::RemoteImageContext> context);
    const images::Image& placeholderImage() const { return m_placeholderImage; }
    void setPlaceholderImage(images::Image image);
    QWidget* placeholderView() const { return m_placeholderView; }
    // The model owns the view until the image view takes it in; the previous one is removed
    // and let go.
    void setPlaceholderView(QWidget* view);
    const std::optional<QString>& name() const { return m_name; }
    void setName(std::optional<QString> name);
    // The folder a name is looked up in (a resource path or a folder on disk); none: ":/images".
    const std::optional<QString>& bundle() const { return m_bundle; }
    void setBundle(std::optional<QString> bundle);
    const std::optional<QByteArray>& data() const { return m_data; }
    void setData(std::optional<QByteArray> data);
    double scale() const { return m_scale; }
    void setScale(double scale);

signals:
    void objectWillChange();

private:
    std::optional<QUrl> m_url;
    images::RemoteImageOptions m_webOptions = 0;
    std::optional<images::RemoteImageContext> m_webContext;
    images::Image m_placeholderImage;
    QPointer<QWidget> m_placeholderView;
    std::optional<QString> m_name;
    std::optional<QString> m_bundle;
    std::optional<QByteArray> m_data;
    double m_scale = 1.0;
};

} // namespace velmora::imageviews
