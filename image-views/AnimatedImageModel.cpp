#include "image-views/AnimatedImageModel.h"

namespace velmora::imageviews {

AnimatedImageModel::AnimatedImageModel(QObject* parent) : QObject(parent) {}

AnimatedImageModel::~AnimatedImageModel() {
    // A placeholder that never went into a view is still ours.
    if (m_placeholderView && !m_placeholderView->parent()) {
        delete m_placeholderView.data();
    }
}

void AnimatedImageModel::setUrl(std::optional<QUrl> url) {
    emit objectWillChange();
    m_url = std::move(url);
}

void AnimatedImageModel::setWebOptions(images::RemoteImageOptions options) {
    emit objectWillChange();
    m_webOptions = options;
}

void AnimatedImageModel::setWebContext(std::optional<images::RemoteImageContext> context) {
    emit objectWillChange();
    m_webContext = std::move(context);
}

void AnimatedImageModel::setPlaceholderImage(images::Image image) {
    emit objectWillChange();
    m_placeholderImage = std::move(image);
}

void AnimatedImageModel::setPlaceholderView(QWidget* view) {
    emit objectWillChange();
    QPointer<QWidget> previous = m_placeholderView;
    m_placeholderView = view;
    if (previous && previous != view) {
        previous->hide();
        previous->setParent(nullptr);
        previous->deleteLater();
    }
}

void AnimatedImageModel::setName(std::optional<QString> name) {
    emit objectWillChange();
    m_name = std::move(name);
}

void AnimatedImageModel::setBundle(std::optional<QString> bundle) {
    emit objectWillChange();
    m_bundle = std::move(bundle);
}

void AnimatedImageModel::setData(std::optional<QByteArray> data) {
    emit objectWillChange();
    m_data = std::move(data);
}

void AnimatedImageModel::setScale(double scale) {
    emit objectWillChange();
    m_scale = scale;
}

} // namespace velmora::imageviews
