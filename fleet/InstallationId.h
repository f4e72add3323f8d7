#pragma once

#include <QString>

// A random 128-bit number made at an installation's first run and kept in
// it (layout::kInstallationId, owner-only), as 32 lowercase hex digits. It
// says nothing about the user or the machine; the service places the
// installation in a release's rollout by it.
class InstallationId
{
public:
    // The installation's id, made and kept first when there is none or the
    // file holds no valid one. Empty when it cannot be kept: an id made anew
    // at every start would draw a new place in every rollout.
    static QString of(const QString& applicationDir);
    static bool isValid(const QString& id);
};
