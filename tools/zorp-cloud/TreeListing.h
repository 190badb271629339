#pragma once

#include <ostream>

class MetadataStore;

// The disk's tree as text, one line per file or folder, for people and scripts:
//
//     folder                      /Photos/
//     file      12345  complete   /Photos/a.jpg
//     file    1048576  uploading  /Photos/big.iso   (524288 of 1048576 bytes)
//
// The user's own space comes first; the shared space follows under "shared:" when it holds
// anything. Children are listed by name. With `ids` every line ends with the entry's id
// ("  id=12"), which scripts use to ask for a download of what they see.
class TreeListing {
public:
    static void Print(MetadataStore& metadata, std::ostream& out, bool ids = false);
};
