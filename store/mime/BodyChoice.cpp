// Choosing the body; see BodyChoice.h.
#include "store/mime/BodyChoice.h"

#include "store/mime/ImportCommon.h"

namespace store::mime::detail {

namespace {

// How deep the walk follows multiparts within one message. It bounds the
// walk's recursion, a few stack frames per level; parts deeper than this are
// left out. Apart from the limit on embedded messages (MimeImport.cpp): an
// attached message is walked from 0 again, and a level here costs stack only,
// where an embedded message is a whole message the writers nest in turn.
constexpr int kMaxPartDepth = 64;

bool IsHtmlLeaf(GMimeObject* o) { return GMIME_IS_PART(o) && IsType(o, "text", "html") && !IsAttachmentDisposition(o); }
bool IsPlainLeaf(GMimeObject* o) {
    return GMIME_IS_PART(o) && IsType(o, "text", "plain") && !IsAttachmentDisposition(o);
}

bool TakeRelated(GMimeMultipart* related, Collected& c, int depth);

// What a multipart/alternative or multipart/related yields when taken as the
// body: nothing, a body without HTML, or a body with HTML.
enum class Yield : uint8_t { None, Body, BodyWithHtml };

Yield AlternativeYield(GMimeMultipart* alternative, Collected& c, int depth);

// The root of a multipart/related: the part its "start" parameter names,
// else its first part.
GMimeObject* RelatedRoot(GMimeMultipart* related) {
    int count = g_mime_multipart_get_count(related);
    GMimeObject* root = g_mime_multipart_get_part(related, 0);
    if (const char* start = g_mime_object_get_content_type_parameter(GMIME_OBJECT(related), "start")) {
        std::string wanted = Trim(start);
        if (wanted.size() > 2 && wanted.front() == '<' && wanted.back() == '>')
            wanted = wanted.substr(1, wanted.size() - 2);
        for (int i = 0; i < count; ++i) {
            GMimeObject* child = g_mime_multipart_get_part(related, i);
            const char* id = g_mime_object_get_content_id(child);
            if (id && wanted == id) root = child;
        }
    }
    return root;
}

// Whether TakeRelated on a multipart/related would give an HTML body.
bool RelatedGivesHtml(GMimeMultipart* related, Collected& c, int depth) {
    if (g_mime_multipart_get_count(related) == 0) return false;
    GMimeObject* root = RelatedRoot(related);
    if (IsHtmlLeaf(root)) return true;
    return GMIME_IS_MULTIPART(root) && IsType(root, "multipart", "alternative") &&
           AlternativeYield(GMIME_MULTIPART(root), c, depth + 1) == Yield::BodyWithHtml;
}

// The children of a multipart/alternative sorted by the role TakeAlternative
// gives them. Judging a nested part only reads the memo in `c`, so choosing
// the body visits every part a bounded number of times, however deep the
// alternatives nest (judging and then taking each level used to double the
// work per level).
struct AlternativeRoles {
    GMimePart* plain = nullptr;
    GMimePart* enriched = nullptr;
    GMimeObject* html = nullptr;       // a text/html leaf, or a multipart holding one
    GMimeMultipart* nested = nullptr;  // the first nested alternative that yields a body
    Yield nestedYield = Yield::None;
    std::vector<GMimeObject*> extras;
};

AlternativeRoles RolesOf(GMimeMultipart* alternative, Collected& c, int depth) {
    AlternativeRoles r;
    for (int i = 0, n = g_mime_multipart_get_count(alternative); i < n; ++i) {
        GMimeObject* child = g_mime_multipart_get_part(alternative, i);
        if (IsPlainLeaf(child)) {
            if (!r.plain) r.plain = GMIME_PART(child);
        } else if (IsHtmlLeaf(child)) {
            r.html = child;
        } else if (GMIME_IS_PART(child) && IsType(child, "text", "enriched") && !IsAttachmentDisposition(child)) {
            r.enriched = GMIME_PART(child);
        } else if (GMIME_IS_MULTIPART(child) && IsType(child, "multipart", "related")) {
            if (RelatedGivesHtml(GMIME_MULTIPART(child), c, depth + 1))
                r.html = child;
            else
                r.extras.push_back(child);
        } else if (GMIME_IS_MULTIPART(child) && IsType(child, "multipart", "alternative")) {
            if (!r.nested) {
                Yield y = AlternativeYield(GMIME_MULTIPART(child), c, depth + 1);
                if (y != Yield::None) {
                    r.nested = GMIME_MULTIPART(child);
                    r.nestedYield = y;
                }
            }
        } else if (GMIME_IS_MULTIPART(child) && g_mime_multipart_get_count(GMIME_MULTIPART(child)) > 0 &&
                   IsHtmlLeaf(g_mime_multipart_get_part(GMIME_MULTIPART(child), 0))) {
            r.html = child;  // Apple Mail: multipart/mixed of HTML pieces and attachments
        } else if (GMIME_IS_MULTIPART(child) || IsType(child, "text", "calendar") || GMIME_IS_MESSAGE_PART(child)) {
            r.extras.push_back(child);
        }
    }
    if (!r.plain) r.plain = r.enriched;
    return r;
}

Yield AlternativeYield(GMimeMultipart* alternative, Collected& c, int depth) {
    if (depth > kMaxPartDepth) return Yield::None;
    const std::pair<GMimeObject*, int> key{GMIME_OBJECT(alternative), depth};
    if (auto known = c.judged.find(key); known != c.judged.end()) return Yield(known->second);
    AlternativeRoles r = RolesOf(alternative, c, depth);
    Yield y = r.html ? Yield::BodyWithHtml : r.plain ? Yield::Body : r.nestedYield;
    c.judged.emplace(key, uint8_t(y));
    return y;
}

// multipart/alternative as the body: its text/plain and text/html (possibly
// inside a multipart/related) become the body; other text alternatives are
// the same content in another form and are dropped. A calendar alternative
// and multipart alternatives of another kind are kept as attachments.
bool TakeAlternative(GMimeMultipart* alternative, Collected& c, int depth) {
    if (depth > kMaxPartDepth) return false;
    AlternativeRoles r = RolesOf(alternative, c, depth);
    GMimePart* plain = r.plain;
    GMimeObject* html = r.html;
    GMimeMultipart* nested = r.nested;
    const std::vector<GMimeObject*>& extras = r.extras;
    if (!plain && !html) {
        if (!nested || !TakeAlternative(nested, c, depth + 1)) return false;
    } else {
        c.bodyChosen = true;
        c.plain = plain;
        if (html && IsType(html, "multipart", "related")) {
            TakeRelated(GMIME_MULTIPART(html), c, depth + 1);
            if (plain) c.plain = plain;
        } else if (html && GMIME_IS_MULTIPART(html)) {
            GMimeMultipart* mixed = GMIME_MULTIPART(html);
            c.html = GMIME_PART(g_mime_multipart_get_part(mixed, 0));
            for (int i = 1, n = g_mime_multipart_get_count(mixed); i < n; ++i)
                Walk(g_mime_multipart_get_part(mixed, i), c, depth + 1);
        } else if (html) {
            c.html = GMIME_PART(html);
        }
    }
    for (GMimeObject* extra : extras) Walk(extra, c, depth + 1);
    return true;
}

// multipart/related whose root is HTML: the HTML is the body and every other
// part an attachment (hidden when the HTML shows it inline).
bool TakeRelated(GMimeMultipart* related, Collected& c, int depth) {
    int count = g_mime_multipart_get_count(related);
    if (count == 0) return false;
    GMimeObject* root = RelatedRoot(related);
    if (IsHtmlLeaf(root)) {
        c.bodyChosen = true;
        c.html = GMIME_PART(root);
    } else if (GMIME_IS_MULTIPART(root) && IsType(root, "multipart", "alternative")) {
        if (!TakeAlternative(GMIME_MULTIPART(root), c, depth + 1) || !c.html) {
            // An alternative without HTML is still the body, but then the
            // related parts are ordinary attachments.
            if (!c.bodyChosen) return false;
        }
    } else {
        return false;
    }
    for (int i = 0; i < count; ++i) {
        GMimeObject* child = g_mime_multipart_get_part(related, i);
        if (child == root) continue;
        size_t before = c.attachments.size();
        Walk(child, c, depth + 1);
        for (size_t k = before; k < c.attachments.size(); ++k) c.related.insert(c.attachments[k]);
    }
    return true;
}

}  // namespace

// Document-order walk: the first entity that can be the body becomes it, the
// rest are collected as attachments.
void Walk(GMimeObject* object, Collected& c, int depth) {
    if (!object || depth > kMaxPartDepth) return;
    if (GMIME_IS_MESSAGE_PART(object)) {
        c.attachments.push_back(object);
        return;
    }
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        bool alternative = IsType(object, "multipart", "alternative");
        if (!c.bodyChosen && !IsAttachmentDisposition(object)) {
            if (alternative && TakeAlternative(multipart, c, depth)) return;
            if (IsType(object, "multipart", "related") && TakeRelated(multipart, c, depth)) return;
        }
        int count = g_mime_multipart_get_count(multipart);
        if (count == 0) {
            // Boundaries missing or wrong: GMime leaves the content as prologue.
            for (const char* text :
                 {g_mime_multipart_get_prologue(multipart), g_mime_multipart_get_epilogue(multipart)})
                if (text && *text) c.leftovers += std::string(text) + "\n";
            return;
        }
        if (alternative && c.bodyChosen && count > 0) {
            // A further alternative after the body: keep its richest form only.
            Walk(g_mime_multipart_get_part(multipart, count - 1), c, depth + 1);
            return;
        }
        for (int i = 0; i < count; ++i) Walk(g_mime_multipart_get_part(multipart, i), c, depth + 1);
        return;
    }
    if (GMIME_IS_PART(object)) {
        if (!c.bodyChosen && !IsAttachmentDisposition(object)) {
            if (IsPlainLeaf(object) ||
                (depth == 0 && (IsType(object, "text", "enriched") || IsType(object, "text", "calendar")))) {
                c.bodyChosen = true;
                c.plain = GMIME_PART(object);
                return;
            }
            if (IsHtmlLeaf(object)) {
                c.bodyChosen = true;
                c.html = GMIME_PART(object);
                return;
            }
        }
        c.attachments.push_back(object);
    }
}

}  // namespace store::mime::detail
