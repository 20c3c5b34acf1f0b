// The "set" member of a recording line: flow fields onto a vdFlow.
#pragma once

#include <stdexcept>
#include <string>

#include <vessixd.hpp>

// A member of the wrong type or out of range. member is the member's path
// (e.g. "set.tls.version"); expected says what was wanted.
class vxFieldError : public std::runtime_error {
public:
    vxFieldError(const std::string &member, const std::string &expected)
        : std::runtime_error("\"" + member + "\": expected " + expected),
          member(member), expected(expected) {}

    std::string member;
    std::string expected;
};

// Applies every member of set to flow; absent members leave their fields
// as they are, nested objects merge member by member. Throws vxFieldError
// for the first bad member; flow may then be partly changed, so the
// recording checker runs this on a scratch flow before anything is replayed.
// path is the name set is reported under.
void vxApplyFlowFields(vdFlow &flow, const json &set, const std::string &path = "set");

// The inverse: every field of flow as a "set" object that, applied to a new
// flow, gives a flow equal to it field by field. The same table reads and
// writes, so every member a recording can set is written.
json vxFlowFieldsOf(const vdFlow &flow);
// What to apply to a flow whose fields are before (vxFlowFieldsOf) to give
// after: the members that differ, nested objects member by member.
json vxFlowFieldsDelta(const json &before, const json &after);

// Gives a new flow the interface that a flow never given one has.
void vxInitFlow(vdFlow &flow);
