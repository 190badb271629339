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
// anything. Children are listed by name.
class TreeListing {
public:
    static void Print(MetadataStore& metadata, std::ostream& out);
};
