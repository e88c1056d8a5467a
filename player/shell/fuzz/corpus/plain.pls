[playlist]
NumberOfEntries=2
File1=http://user:pw@a.example:8000/one?x=1
Title1=One
Length1=-1
File2=https://b.example/two.aac
Title2=Two = 2
Length2=-1
Version=2
