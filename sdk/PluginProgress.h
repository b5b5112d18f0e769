#pragma once

#include <QString>

#include <cstddef>
#include <type_traits>

// The progress record that the plug-in keeps for its host. The host reads it in place, through
// the pointer that ExportPluginProtocol::progress() answers, and only between lockProgress() and
// unlockProgress(). A null message means "no status text".
struct PluginProgress {
    quint32 currentItem = 0; // item under way, from 0
    quint32 totalItems = 0;  // items in the run
    QString message;         // status text, null for none
    bool indeterminateProgress = false;
    bool shouldCancel = false; // the run failed
    bool shouldStop = false;   // the run has ended
};

static_assert(std::is_standard_layout_v<PluginProgress>);
static_assert(sizeof(PluginProgress::currentItem) == 4 && sizeof(PluginProgress::totalItems) == 4);
static_assert(sizeof(bool) == 1);
static_assert(offsetof(PluginProgress, currentItem) < offsetof(PluginProgress, totalItems));
static_assert(offsetof(PluginProgress, totalItems) < offsetof(PluginProgress, message));
static_assert(offsetof(PluginProgress, message) < offsetof(PluginProgress, indeterminateProgress));
static_assert(offsetof(PluginProgress, indeterminateProgress) <
              offsetof(PluginProgress, shouldCancel));
static_assert(offsetof(PluginProgress, shouldCancel) < offsetof(PluginProgress, shouldStop));
