// DNS names in wire form: building them from text and labels, comparing them,
// and taking them apart for display.
#include "protocol/dns_message.h"

#include <string.h>

static uint8_t LowerAscii(uint8_t c) {
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

bool DnsNameFromText(DnsName *name, const char *dotted) {
    name->Size = 1;
    name->Wire[0] = 0;
    size_t length = strlen(dotted);
    // Built from the last label forwards, each put in front of the rest.
    size_t end = length;
    while (end > 0) {
        size_t start = end;
        while (start > 0 && dotted[start - 1] != '.')
            start--;
        if (!DnsNamePrepend(name, dotted + start, end - start))
            return false;
        end = start > 0 ? start - 1 : 0;
        if (start == 1) // a leading dot: an empty first label
            return false;
    }
    return true;
}

bool DnsNamePrepend(DnsName *name, const char *label, size_t length) {
    if (length == 0 || length > DNS_LABEL_MAX || name->Size + 1 + length > DNS_NAME_MAX)
        return false;
    memmove(name->Wire + 1 + length, name->Wire, name->Size);
    name->Wire[0] = static_cast<uint8_t>(length);
    memcpy(name->Wire + 1, label, length);
    name->Size = static_cast<uint8_t>(name->Size + 1 + length);
    return true;
}

bool DnsNameEqual(const DnsName &a, const DnsName &b) {
    if (a.Size != b.Size)
        return false;
    for (size_t i = 0; i < a.Size; i++)
        if (LowerAscii(a.Wire[i]) != LowerAscii(b.Wire[i]))
            return false;
    return true;
}

bool DnsNameParent(const DnsName &name, DnsName *parent) {
    if (name.Size < 2 || name.Wire[0] == 0)
        return false;
    size_t skip = 1 + name.Wire[0];
    parent->Size = static_cast<uint8_t>(name.Size - skip);
    memmove(parent->Wire, name.Wire + skip, parent->Size);
    return true;
}

size_t DnsNameFirstLabel(const DnsName &name, char *out, size_t capacity) {
    if (capacity == 0)
        return 0;
    size_t length = name.Size > 0 ? name.Wire[0] : 0;
    if (length > capacity - 1)
        length = capacity - 1;
    memcpy(out, name.Wire + 1, length);
    out[length] = 0;
    return length;
}

void DnsNameToText(const DnsName &name, char *out, size_t capacity) {
    if (capacity == 0)
        return;
    size_t used = 0;
    for (size_t at = 0; at < name.Size && name.Wire[at] != 0; at += 1 + name.Wire[at]) {
        size_t length = name.Wire[at];
        if (used > 0 && used + 1 < capacity)
            out[used++] = '.';
        if (used + length >= capacity)
            length = capacity - 1 - used;
        memcpy(out + used, name.Wire + at + 1, length);
        used += length;
    }
    out[used] = 0;
}
