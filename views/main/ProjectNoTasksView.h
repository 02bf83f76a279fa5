#pragma once

#include <QWidget>

namespace velmora {

// What a project without tasks shows, centred in the detail area: a document symbol,
// "No tasks here." and a calm line under it.
class ProjectNoTasksView : public QWidget {
    Q_OBJECT

public:
    explicit ProjectNoTasksView(QWidget* parent = nullptr);
};

} // namespace velmora
