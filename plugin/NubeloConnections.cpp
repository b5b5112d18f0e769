#include "NubeloConnections.h"

#include "ui/Application.h"

std::atomic<int> NubeloConnections::mState{SessionNone};

NubeloConnections::NubeloConnections() {
    mState.store(SessionNone);
}

NubeloConnections::~NubeloConnections() = default;

int NubeloConnections::getState() const {
    return mState.load();
}

std::optional<platform::Error> NubeloConnections::getError() const {
    return mError;
}

void NubeloConnections::msgBox(const QString &message, const QString &informativeText) {
    if (ui::Application *application = ui::app())
        application->msgBox(message, informativeText);
}
