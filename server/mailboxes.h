// mailboxes.h - one array of 16-bit words per registered application name.
#pragma once

#include <cstdint>
#include <string>

namespace quonix {

// Sets the mailbox size and the most mailboxes kept, and creates the mailbox
// of RAVOWLD with the tag project in it (drive 0: none, the mailbox stays
// zero).
void MailboxesInit(std::uint32_t words, std::uint32_t max_mailboxes, char project_drive,
                   const std::string& project_name);
void MailboxesClear();
// Creates the mailbox of `name` unless it exists.  false: the table is full.
bool MailboxEnsure(const std::string& name);

}  // namespace quonix
