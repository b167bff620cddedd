// Reads the SOAP RPC fields of a recorded request's envelope with Expat.
#pragma once

#include "TestDaemon.h"

namespace SoapTest {

// Fills method, methodNamespace, args, argTypes, targetId and xmlWellFormed
// of `request` from request.body; the other fields are left alone.
//
// The method is the first child element of the Body (a child of the root
// element named "Body", in any namespace). Its child elements are the
// arguments, in document order: an argument with only text is recorded as that
// text, decoded; one with child elements as the exact bytes between its start
// and end tags (taken by byte offsets, so prefixes, entities and whitespace
// stay as sent). argTypes has one entry per argument, in the same order: the
// value of its xsi:type attribute as written (e.g. "xsd:int"), "" when it has
// none. targetId is the text of the first element named "TargetID" inside the
// root's "Header" child. A body that is not well-formed XML keeps whatever was
// read before the error and xmlWellFormed false. Never throws but bad_alloc.
void ParseSoapRequest(RecordedRequest& request);

}  // namespace SoapTest
