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

// The sign-in exchanges arrive with the service client's issue; until then nothing is sent.
std::optional<platform::Error> NubeloConnections::authenticate(const QString &, const QString &)
{
    return std::nullopt;
}

std::optional<platform::Error> NubeloConnections::closeSession()
{
    return std::nullopt;
}
