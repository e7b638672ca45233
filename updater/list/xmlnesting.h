// How deep a text's XML elements nest, counted before any parser builds a document of it.
#pragma once

#include <QByteArray>

// How deep the elements of `xml` nest, counted without building a document; stops counting
// (and returns limit + 1) as soon as the depth passes `limit`.
int xmlNestingDepth(const QByteArray& xml, int limit);
