#pragma once

#include "images/core/Image.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <optional>

namespace velmora::imageviews {

// What was last loaded into one animated image view: it outlives re-renders of the view so
// that an image already shown, or a load still running, is not started again. Each setter
// announces `objectWillChange` before it stores; all of it lives on the main thread.
class AnimatedLoadingModel : public QObject {
    Q_OBJECT
public:
    explicit AnimatedLoadingModel(QObject* parent = nullptr) : QObject(parent) {}

    const images::Image& image() const { return m_image; }
    void setImage(images::Image image) {
        emit objectWillChange();
        m_image = std::move(image);
    }
    bool isLoading() const { return m_loading; }
    void setLoading(bool loading) {
        emit objectWillChange();
        m_loading = loading;
    }
    double progress() const { return m_progress; }
    void setProgress(double progress) {
        emit objectWillChange();
        m_progress = progress;
    }
    const std::optional<QString>& imageName() const { return m_imageName; }
    void setImageName(std::optional<QString> name) {
        emit objectWillChange();
        m_imageName = std::move(name);
    }
    const std::optional<QByteArray>& imageData() const { return m_imageData; }
    void setImageData(std::optional<QByteArray> data) {
        emit objectWillChange();
        m_imageData = std::move(data);
    }
    const std::optional<QUrl>& imageURL() const { return m_imageURL; }
    void setImageURL(std::optional<QUrl> url) {
        emit objectWillChange();
        m_imageURL = std::move(url);
    }

signals:
    void objectWillChange();

private:
    images::Image m_image;
    bool m_loading = false;
    double m_progress = 0.0;
    std::optional<QString> m_imageName;
    std::optional<QByteArray> m_imageData;
    std::optional<QUrl> m_imageURL;
};

} // namespace velmora::imageviews
