#pragma once

#include <string>
#include <utility>
#include <vector>

// A JSON text read back into values: what a run needs to continue the report it wrote earlier.
// Objects keep their members in order; numbers are doubles.
struct JsonValue
{
    enum class Kind { Null, Bool, Number, String, Array, Object };

    Kind kind = Kind::Null;
    bool flag = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;                             // an array's
    std::vector<std::pair<std::string, JsonValue> > members; // an object's

    // The member of that name, or a null value when there is none (or this is no object).
    const JsonValue& operator[](const std::string& key) const;
    // The number, or fallback for any other kind (JSON's null included).
    double numberOr(double fallback) const { return kind == Kind::Number ? number : fallback; }

    // False when the text is not one whole JSON value.
    static bool parse(const std::string& text, JsonValue* value);
};
