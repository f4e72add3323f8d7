#include "elevate/InstallRequest.h"

namespace {

constexpr int kArgumentCount = 8; // the program, the mode and six values

} // namespace

QStringList InstallRequest::toArguments() const
{
    return {QStringLiteral("install"),
            softwareRoot,
            mainProgram,
            versionType,
            version,
            packagePath,
            releasePath};
}

bool InstallRequest::fromArguments(const QStringList& arguments, InstallRequest& request)
{
    if (arguments.size() != kArgumentCount || arguments.at(1) != QLatin1String("install"))
        return false;
    request.softwareRoot = arguments.at(2);
    request.mainProgram = arguments.at(3);
    request.versionType = arguments.at(4);
    request.version = arguments.at(5);
    request.packagePath = arguments.at(6);
    request.releasePath = arguments.at(7);
    return true;
}
