# Packaging: filled in with the installation work.
