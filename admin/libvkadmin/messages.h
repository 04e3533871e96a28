// What programs show to people: the error texts, in the user's language and
// in the character set of the user's terminal, and the notice to a user
// whose session is suspended.
#ifndef VK_MESSAGES_H
#define VK_MESSAGES_H

namespace vk {

// Takes the language of messages from the environment (LC_MESSAGES and
// what gettext reads with it) and tells gettext the character set of the
// user's locale. Nothing else of the locale is taken: the character type
// stays "C", so that tokens, logins and names are compared and classified
// byte by byte, whatever the user's settings. Call once, at the start.
void use_user_language();

// vk_err2str(code) in the user's character set. Where that is plain ASCII
// (the "C" locale), letters that ASCII lacks are transliterated ("ü" comes
// out as "u") rather than shown as "?". The text stays valid until the
// next call.
const char *message(int code);

// Tells the user of display `dispNo` that the session is being suspended,
// through the message tool. A display that is no plain word is never put on
// the tool's command line; a missing tool is no error.
void notify_suspension(const char *dispNo);

}  // namespace vk

#endif
