// Keeps the support library non-empty before any double exists.
