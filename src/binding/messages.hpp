// The texts of the exceptions the module raises itself, which callers see and tests match
// to the letter: change one only together with what depends on it. printf-style fields
// are filled by PyErr_Format / PyUnicode_FromFormat.
#pragma once

namespace brindlex::py::msg {

// PrefixSearch() and object.__new__(PrefixSearch): instances come only from the two
// static constructors. %U: the class name.
inline constexpr const char* kNoConstructor = "No constructor defined for %U";
// Importing from a second interpreter.
inline constexpr const char* kSubinterpreter =
    "_brindlex does not support subinterpreters: it can only be imported by the main interpreter";

// Argument binding. %s: the method as shown ("PrefixSearch.fuzzy_match()").
inline constexpr const char* kTooManyPositionalRange = "%s takes from %zu to %zd positional arguments but %zd %s given";
inline constexpr const char* kTooManyPositional = "%s takes %zd positional arguments but %zd %s given";
inline constexpr const char* kUnexpectedKeyword = "%s got an unexpected keyword argument '%U'";
inline constexpr const char* kMultipleValues = "%s got multiple values for argument '%s'";
inline constexpr const char* kMissing = "%s missing %zu required positional %s: %s";
// The prefix put before the message of a TypeError raised while converting an argument.
inline constexpr const char* kArgumentPrefix = "argument '%s': %U";

// Conversions. The first two name the type found and the type expected.
inline constexpr const char* kCannotConvertHead = "'";
inline constexpr const char* kCannotConvertMiddle = "' object cannot be converted to '";
inline constexpr const char* kCannotConvertTail = "'";
inline constexpr const char* kOutOfRange = "out of range integral type conversion attempted";
inline constexpr const char* kStrIsNoSequence = "Can't extract `str` to `Vec`";
inline constexpr const char* kPayloadArity = "Payload tuple must have 3 elements";
inline constexpr const char* kPayloadLengths = "video_ids and video_counts length mismatch";

// from_bytes, before the rendering of the decode error.
inline constexpr const char* kDecodeError = "decode error: ";

// InternalFailure texts of the binding's own (the core's come with their errors).
inline constexpr const char* kUnrankedVideo = "ranked video has no entry in the video id list";
inline constexpr const char* kNoTypeObject = "failed to create type object for PrefixSearch";
inline constexpr const char* kUnknownException = "unknown C++ exception";
// A failed C API call that left no exception set.
inline constexpr const char* kNoExceptionSet = "attempted to fetch exception but none was set";

}  // namespace brindlex::py::msg
