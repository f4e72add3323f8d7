#include "delta/DeltaResult.h"

DeltaResult DeltaResult::failed(Kind kind, const QString& path, const QString& what)
{
    return {kind, path, path + QStringLiteral(": ") + what};
}
