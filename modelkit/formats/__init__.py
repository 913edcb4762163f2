"""Files the library reads, written and read byte for byte as it reads them."""
