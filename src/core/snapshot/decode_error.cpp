#include "core/snapshot/decode_error.hpp"

namespace brindlex::snapshot {

std::string_view integer_type_name(IntegerType t) {
    switch (t) {
        case IntegerType::U32:
            return "U32";
        case IntegerType::U64:
            return "U64";
        case IntegerType::U128:
            return "U128";
        case IntegerType::Reserved:
            return "Reserved";
    }
    return "Reserved";
}

std::string render(const DecodeError& e) {
    std::string s;
    switch (e.kind) {
        case DecodeErrorKind::UnexpectedEnd:
            s = "UnexpectedEnd { additional: ";
            s += std::to_string(e.additional);
            s += " }";
            break;
        case DecodeErrorKind::InvalidIntegerType:
            s = "InvalidIntegerType { expected: ";
            s += integer_type_name(e.expected);
            s += ", found: ";
            s += integer_type_name(e.found);
            s += " }";
            break;
        case DecodeErrorKind::UnexpectedVariant:
            s = "UnexpectedVariant { type_name: \"";
            s += e.type_name;
            s += "\", allowed: Range { min: ";
            s += std::to_string(e.allowed_min);
            s += ", max: ";
            s += std::to_string(e.allowed_max);
            s += " }, found: ";
            s += std::to_string(e.found_variant);
            s += " }";
            break;
        case DecodeErrorKind::InvalidCharEncoding:
            s = "InvalidCharEncoding([";
            for (size_t i = 0; i < e.char_bytes.size(); ++i) {
                if (i != 0) s += ", ";
                s += std::to_string(e.char_bytes[i]);
            }
            s += "])";
            break;
        case DecodeErrorKind::InvalidBooleanValue:
            s = "InvalidBooleanValue(";
            s += std::to_string(e.boolean_byte);
            s += ")";
            break;
    }
    return s;
}

}  // namespace brindlex::snapshot
