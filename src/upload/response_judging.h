#pragma once

#include <optional>
#include <string>
#include <vector>

#include <rapidjson/document.h>

namespace corvane {

// Parses `text` (up to its first NUL) as JSON without recursion, so no depth
// of nesting can exhaust the stack; true when its root is an object.
bool parseObject(const std::string& text, rapidjson::Document& document);

// The member `name` of `object` when it is a string (up to its first NUL).
std::optional<std::string> stringMember(const rapidjson::Value& object, const char* name);

// As stringMember(), converted into the local code page: the form in which
// the uploader hands a service's texts to its caller. A text without a form
// there comes back empty, with a WARNING that `what` ("file item name") has
// none.
std::optional<std::string> localStringMember(const rapidjson::Value& object, const char* name,
                                             const char* what);

// `text` with the string value of every member named in `names` replaced by
// "<redacted>", every other byte as it stands: an answer as it may be shown,
// without the secrets it carries.
std::string redactMembers(const std::string& text, const std::vector<std::string>& names);

// The member `name` of `object` when it is an object; nullptr otherwise.
const rapidjson::Value* objectMember(const rapidjson::Value& object, const char* name);

// The "code" of the service's error form: an integer within the signed
// 32-bit range; nothing when `root` is not that form.
std::optional<int> serviceErrorCode(const rapidjson::Value& root);

// The service's error form (see serviceErrorCode()). When it is, a string
// "message" beside it replaces `errorMessage` (in the local code page) and is
// logged at ERROR as the reason `operation` got.
bool isServiceError(const rapidjson::Value& root, const char* operation, std::string& errorMessage);

// True when "status" of `data` is a string equal to "success", ignoring ASCII
// letter case.
bool hasSuccessStatus(const rapidjson::Value& data);

}  // namespace corvane
