// Choosing the body of a message: a walk over GMime's MIME tree, in document
// order, that picks the part or parts that become the body (a text/plain
// and/or text/html leaf, the best forms of a multipart/alternative, the HTML
// root of a multipart/related) and collects every other part as an
// attachment. Reads the tree, changes nothing; MimeImport.cpp maps the result.
//
// Not GMime's g_mime_message_get_body(): it names one part only, and nothing
// of which parts a related HTML shows, which the attachment rows need.
// Invariants:
//  1. The first entity that can be the body becomes it; after that, parts
//     are attachments in the order the message holds them (a further
//     alternative gives only its last, richest form).
//  2. A multipart/alternative is judged once per depth (Collected::judged),
//     so the walk visits each part a bounded number of times however deep
//     the alternatives nest.
//  3. The walk follows at most kMaxPartDepth levels (BodyChoice.cpp); deeper
//     parts are left out. Each attached message is walked on its own, from 0.
#pragma once

#include <gmime/gmime.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace store::mime::detail {

// What the walk found: the body's parts and the attachments.
struct Collected {
    GMimePart* plain = nullptr;             // the body's text form, or null
    GMimePart* html = nullptr;              // the body's HTML form, or null
    bool bodyChosen = false;                // later text parts are attachments
    std::vector<GMimeObject*> attachments;  // leaf parts and message parts, in document order
    std::set<GMimeObject*> related;         // parts of the multipart/related that holds the HTML
    std::string leftovers;                  // text of multiparts in which GMime found no part
    // What each multipart/alternative judged so far yields as a body (a
    // Yield, by part and depth), so that no part is judged twice.
    std::map<std::pair<GMimeObject*, int>, uint8_t> judged;
};

// Walks the part `object` at nesting `depth` into `c`. At depth 0, a
// message's top part, a lone text/enriched or text/calendar part is the body
// too.
void Walk(GMimeObject* object, Collected& c, int depth);

}  // namespace store::mime::detail
