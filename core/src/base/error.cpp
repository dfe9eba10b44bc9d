#include "base/error.h"

namespace korvane {

std::string EngineError::message() const {
    using std::to_string;
    switch (kind) {
        case Kind::DimensionMismatch:
            return "dimension mismatch: expected " + to_string(a) + ", got " + to_string(b);
        case Kind::InvalidBitWidth:
            return "invalid bit width: " + to_string(a) + " (must be 2 or 4)";
        case Kind::InvalidMetricByte:
            return "invalid metric byte: " + to_string(a);
        case Kind::EmptyIndex:
            return "index is empty";
        case Kind::CountMismatch:
            return "id/vector count mismatch: " + to_string(a) + " ids vs " + to_string(b) + " vectors";
        case Kind::Io:
            return "io error: " + text;
        case Kind::InvalidFile:
            return "invalid .krvn file: " + text;
        case Kind::UnsupportedVersion:
            return "unsupported file version: " + to_string(a);
        case Kind::UnsupportedIndexTypeByte:
            return "unsupported index type byte: " + to_string(a);
        case Kind::IndexTypeNotImplemented:
            return "index type '" + text + "' is not yet implemented \u2014 use IndexType::BruteForce";
        case Kind::NotBuilt:
            return "call build() before search() for IvfFlat indexes";
        case Kind::EmptySample:
            return "sample is empty \u2014 provide at least 1 vector for profiling";
        case Kind::FitAfterAdd:
            return "fit() must be called before add() \u2014 index already contains vectors";
        case Kind::InvalidArgument:
            return text;
        case Kind::Interrupted:
            return "interrupted before the work was done";
        case Kind::UnknownId:
            return to_string(a);
    }
    return "unknown error";
}

}  // namespace korvane
