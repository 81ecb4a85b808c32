// Text forms of record fields, shared by the database columns and the JSON document:
// dates 'YYYY-MM-DD' ('' when all three bytes are zero), times 'HH:MM:SS', a one-byte
// status as a one-letter text ('' for zero).
#pragma once
#include <cstdint>
#include <string>

#include "plx/records.h"

namespace dblink {

std::string DateText(const uint8_t* p);
std::string TimeText(const uint8_t* p);

// Strict: a real calendar date (year 1900-2155; 1997-02-31 is none) or ''.
bool ParseDate(const std::string& s, uint8_t* p);
// Strict: hour 0-23, minute and second 0-59, or ''.
bool ParseTime(const std::string& s, uint8_t* p);

// The field as text (Text, U8, Date, Time fields) or number (U16, U32).
bool IsNumeric(const plx::FieldDef& f);
uint32_t FieldNumber(const plx::FieldDef& f, const uint8_t* rec);
std::string FieldText(const plx::FieldDef& f, const uint8_t* rec);
void SetFieldNumber(const plx::FieldDef& f, uint32_t v, uint8_t* rec);
// False when the text does not fit the field or has the wrong form for a date or time.
bool SetFieldText(const plx::FieldDef& f, const std::string& v, uint8_t* rec);

// Case-insensitive ASCII comparison, as the database's NOCASE collation.
bool EqualNoCase(const std::string& a, const std::string& b);

}  // namespace dblink
