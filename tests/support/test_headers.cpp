// The translation unit that the test programs' precompiled headers are made from.
