#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/json.h"

// The wire formats of the account sign-in: what the browser sends to the loopback listener, what
// goes to the identity, secure-token and document-database services, and how their answers are
// read. Pure functions, no state; any thread.
namespace marlune::auth {

// Everything the loopback listener answers, whatever the request: a UTF-8 HTML page asking the
// user to go back to the app, with "Connection: close".
extern const std::string_view kLoopbackReply;

// The sign-in result carried by a "/callback" request: each parameter as the browser sent it,
// percent-decoded, or nothing when absent (or present without a value).
struct CallbackParams {
    std::optional<std::string> token;
    std::optional<std::string> oobCode;
    std::optional<std::string> email;
    std::optional<std::string> error;
    std::optional<std::string> state;  // must be the one the app sent out for this sign-in
};

// Reads the head of one request made to the loopback listener. Only "GET /callback…" counts;
// anything else (other paths, other methods, a first line without a target, a target that is not
// a URL path) gives nothing and must change nothing. A parameter counts by its first occurrence;
// a value with a broken percent escape, or that does not decode to UTF-8 text, counts as missing.
std::optional<CallbackParams> parseCallbackRequest(std::string_view requestHead);

// The value percent-encoded for a form body: only ASCII letters and digits stay literal.
std::string formEncode(std::string_view value);
// name=value pairs joined with "&", values form-encoded, names as given.
std::string formBody(const std::vector<std::pair<std::string, std::string>>& pairs);

// The e-mail address as one query value: letters, digits and the query punctuation that means
// nothing inside a value stay literal (the at sign among them); "&", "=" and "+", which would
// split the value or turn into a space when the page reads it, are percent-encoded like every
// other character.
std::string encodeQueryValue(std::string_view value);

// The sign-in page's addresses for a listener on `port`: where the Google flow sends the browser,
// and the e-mail link's continue address. Both carry `state`, which the page must hand back to
// "/callback" as its "state" parameter: only a callback with it finishes the sign-in, so no other
// local process (which cannot see the address) can finish it with an account of its choosing.
std::string googleSignInPage(std::string_view origin, int port, std::string_view state);
std::string emailContinueUrl(std::string_view origin, int port, std::string_view email,
                             std::string_view state);

// A new sign-in's state: 32 random hexadecimal digits.
std::string newSignInState();

// A callback's "error" as it may be shown: control characters and markup brackets left out,
// white space runs made one space, at most kMaxErrorText bytes (cut at a character boundary);
// nothing when nothing is left.
inline constexpr std::size_t kMaxErrorText = 200;
std::optional<std::string> cleanedErrorText(std::string_view text);

// True for an absolute http(s) URL with a host.
bool isWebURL(std::string_view text);

// "auth.magicLink": the address with spaces and tabs trimmed from both ends, or nothing when it
// does not contain "@".
std::optional<std::string> magicLinkAddress(std::string_view email);

// Request bodies.
Json signInWithIdpBody(std::string_view googleIdToken);
Json sendOobCodeBody(std::string_view email, std::string_view continueUrl);
Json emailLinkSignInBody(std::string_view email, std::string_view oobCode);
Json userDocumentBody(std::string_view email, std::string_view displayName,
                      std::chrono::system_clock::time_point now);
Json commitExportsBody(std::string_view projectId, std::string_view uid, std::int64_t pending);

// The document path of a user ("projects/<id>/databases/(default)/documents/users/<uid>"), the
// uid as given; "-" when it is empty.
std::string userDocumentName(std::string_view projectId, std::string_view uid);
// The same as a URL path for the REST API (leading "/v1/"), the uid percent-encoded as one path
// segment.
std::string userDocumentPath(std::string_view projectId, std::string_view uid);
// The update mask that limits the user-document write to its three fields.
inline constexpr std::string_view kUserDocumentMask =
    "updateMask.fieldPaths=email&updateMask.fieldPaths=displayName&updateMask.fieldPaths="
    "lastSeenAt";

// RFC 3339 in UTC with seconds and the suffix Z: "2024-05-06T07:08:09Z".
std::string rfc3339(std::chrono::system_clock::time_point when);

// A service's answer: the body as a JSON object (an empty one when it is not an object), success
// for a status from 200 to 299, otherwise a failure with the body's `error`.`message` when it is
// a string, else "HTTP " + status (0 when there was no HTTP status).
Result<Json> serviceResult(long status, std::string_view body);

// The export count from a user document (`fields`.`exportCount`.`integerValue`, a decimal text),
// or nothing.
std::optional<std::int64_t> exportCountOf(const Json& document);

// How a failed sign-in describes its error to the page: RecError(message: "…").
std::string debugDescription(const Error& error);

// `text` with every occurrence of each non-empty secret replaced, so that a service echoing a
// token back cannot carry it into a log line or an error shown to the page.
std::string redacted(std::string text, const std::vector<std::string>& secrets);

// The token lifetime from a token answer (`expiresIn`, else `expires_in`): a decimal text of
// seconds; 3600 when it is not a text or not a finite number.
double tokenLifetimeSeconds(const Json& response);

}  // namespace marlune::auth
