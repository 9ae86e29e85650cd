// ExtractFromArchive: the one-call extraction that the launcher uses.
#pragma once

#include <string>

#include "archive/dozirivovaze.h"

namespace kv {

// Creates a component without owner, hands it OnShowProgress (which may be
// unassigned), extracts EntryName from the archive file into Dest and frees
// the component again, on every path. Failures pass on to the caller.
void ExtractFromArchive(const std::string& ArchiveFileName, TStream& Dest,
                        const std::string& EntryName, const TShowProgressEvent& OnShowProgress);

// The same over an archive that the caller holds open, read from its start:
// the bytes extracted are those of this stream, whatever the file's name
// leads to meanwhile. Archive is read and seeked, never closed.
void ExtractFromArchive(TStream& Archive, TStream& Dest, const std::string& EntryName,
                        const TShowProgressEvent& OnShowProgress);

}  // namespace kv
