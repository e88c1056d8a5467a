[playlist]
NumberOfEntries=$7FFFFFFF
File1=http://a.example/
