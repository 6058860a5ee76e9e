#pragma once

#include <QString>

enum class FieldType {
    Text,     // nvarchar(n), MEMO/TEXT (size 0: no limit)
    Integer,  // INTEGER, COUNTER, LONG …
    Boolean,  // BIT
    DateTime, // DATETIME
    Other,    // anything else: kept as the database returns it
};

// One column of a settings table as the table declares it.
struct FieldDef {
    QString name;
    QString declaredType; // as written in the table's definition, e.g. "nvarchar(50)"
    FieldType type = FieldType::Other;
    int size = 0;            // maximum characters of a text column; 0 = no limit
    bool required = false;   // NOT NULL
    bool primaryKey = false; // part of the table's primary key
    bool autoNumber = false; // the table's own row number (INTEGER PRIMARY KEY)
    bool hasDefault = false; // the table supplies a value when an insert leaves it out
};
