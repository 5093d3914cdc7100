#include "structures/StructurePick.h"

namespace bhv {

const char* StructureKindName(StructureKind kind) {
    switch (kind) {
        case StructureKind::Fracture:
            return "Fracture";
        case StructureKind::Bedding:
            return "Bedding";
        case StructureKind::Vein:
            return "Vein";
        case StructureKind::Unknown:
            break;
    }
    return "Unknown";
}

StructureKind StructureKindFromName(const std::string& name) {
    if (name == "Fracture") return StructureKind::Fracture;
    if (name == "Bedding") return StructureKind::Bedding;
    if (name == "Vein") return StructureKind::Vein;
    return StructureKind::Unknown;
}

const char* PickOriginName(PickOrigin origin) {
    return origin == PickOrigin::Operator ? "operator" : "detector";
}

PickOrigin PickOriginFromName(const std::string& name) {
    return name == "operator" ? PickOrigin::Operator : PickOrigin::Detector;
}

}  // namespace bhv
